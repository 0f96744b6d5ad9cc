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
    // The process-wide tree, or null while the host has not created one.
    static Tree *Instance();
    // Host side: creates the process-wide tree (once; later calls return it).
    static Tree *Create();
    // Host side: destroys the tree and every node and value in it.
    static void Destroy();

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

    // Host side: the node at `path`, created with its missing parents. Null
    // when a value stands in the way.
    Node *AddNode(const QString &path);
    // Host side: removes and destroys a node with everything below it.
    bool RemoveNode(const QString &path);
    Node *Root() const { return root; }

    // Called for every notification of every value in the tree, after the
    // value's own observers. Returns an id for RemoveValueListener.
    using ValueListener = std::function<void(ValueBase *value, unsigned int code)>;
    int AddValueListener(ValueListener listener);
    void RemoveValueListener(int id);
    void ReportValueChange(ValueBase *value, unsigned int code);

protected:
    Tree();

private:
    Node *root;
    struct Listeners;
    Listeners *listeners;
};
}
