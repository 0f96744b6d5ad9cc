// Host side of the value tree: creating and destroying the process-wide tree,
// building and pruning its nodes, and following every value's notifications.
// The driver plug-in is built without this folder on its include path: it
// only finds, adds and removes values of the tree the host made.
//
// Threads: as for the tree itself, the host thread only.
#pragma once

#include <QString>

#include <functional>

namespace values
{
class Node;
class Tree;
class ValueBase;

struct TreeHost
{
    // Creates the process-wide tree (once; later calls return it).
    static Tree *Create();
    // Destroys the tree and every node and value in it.
    static void Destroy();

    // The following act on the process-wide tree, and do nothing (or return
    // null or false) while there is none.

    // The node at `path`, created with its missing parents. Null when a value
    // stands in the way.
    static Node *AddNode(const QString &path);
    // Removes and destroys a node with everything below it.
    static bool RemoveNode(const QString &path);
    static Node *Root();

    // Called for every notification of every value in the tree, after the
    // value's own observers. Returns an id for RemoveValueListener, or -1.
    using ValueListener = std::function<void(ValueBase *value, unsigned int code)>;
    static int AddValueListener(ValueListener listener);
    static void RemoveValueListener(int id);
    // Passes a value's notification to the listeners; the value framework
    // calls it for every value inside the tree.
    static void ReportValueChange(ValueBase *value, unsigned int code);
};
}
