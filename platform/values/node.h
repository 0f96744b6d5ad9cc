// A node of the host value tree: holds child nodes and values, owns them.
#pragma once

#include "treeitem.h"

#include <QHash>
#include <QList>

namespace values
{
class ValueBase;

class Node : public TreeItem
{
public:
    explicit Node(const QString &name);
    // Destroys the children; their observers see code 2 with state 1 first.
    ~Node() override;

    TreeItem *GetChild(const QString &name) const;
    ValueBase *GetChildValue(const QString &name) const;
    Node *GetChildNode(const QString &name) const;
    // Children in the order they were inserted.
    QList<TreeItem *> GetTreeItems() const { return children; }

    // Takes ownership; notifies code 16. false when the name is taken.
    bool InsertChild(TreeItem *child);
    // Detaches without destroying; notifies code 16. The caller owns it.
    TreeItem *TakeChild(const QString &name);

private:
    // Insertion order for GetTreeItems; the hash makes lookups by name
    // independent of how many children a node has (a mirroring host may hang
    // a thousand receivers below one node).
    QList<TreeItem *> children;
    QHash<QString, TreeItem *> byName;
};
}
