// Common part of the nodes and values of the host value tree.
#pragma once

#include "observable.h"

#include <QString>

namespace values
{
class Node;

class TreeItem : public Observable
{
public:
    ~TreeItem() override;

    QString GetName() const { return name; }
    // The full path from the root, "/" for the root, "/A/B" below it.
    QString GetPath() const;
    Node *GetParent() const { return parent; }

protected:
    TreeItem() = default;

    QString name;
    Node *parent = nullptr;

    friend class Node;
};
}
