// The process-wide host value tree.
//
// Threads: the tree, its nodes and values and their observers belong to the
// host thread. Instance() may be called from any thread; everything else only
// on the host thread. Observers are notified synchronously on that thread.
//
// Paths are slash separated; a leading "/" is optional and empty segments are
// ignored, so "/A/B", "A/B" and "/A//B/" name the same item.
#pragma once

#include <QString>
#include <functional>

namespace values
{
class Node;
class ValueBase;

class Tree
{
public:
    // The process-wide tree, or null while the host has not created one
    // (TreeHost in the host's extras creates it).
    static Tree *Instance();

    virtual ~Tree();

    // The value at `path`, or null.
    virtual ValueBase *FindValue(QString path);
    // The node at `path`, or null. "/" is the root.
    virtual Node *FindNode(const QString &path);
    // Inserts `value` under the node at `parentPath`, creating missing nodes.
    // false when an item of the value's name exists there already (the value
    // is then not taken). Throws ZRException for a value without a name or a
    // parent path that runs through a value.
    virtual bool AddValue(QString parentPath, ValueBase *value);
    // Removes and destroys the value; its observers see code 2 with state 1
    // first. Nothing happens when there is no value at `path`.
    virtual void RemoveValue(QString path);

protected:
    Tree();

private:
    // The host's side, offered through TreeHost (see there).
    friend struct TreeHost;
    static Tree *Create();
    static void Destroy();
    Node *AddNode(const QString &path);
    bool RemoveNode(const QString &path);
    Node *Root() const { return root; }
    using ValueListener = std::function<void(ValueBase *value, unsigned int code)>;
    int AddValueListener(ValueListener listener);
    void RemoveValueListener(int id);
    void ReportValueChange(ValueBase *value, unsigned int code);

    Node *root;
    struct Listeners;
    Listeners *listeners;
};
}
