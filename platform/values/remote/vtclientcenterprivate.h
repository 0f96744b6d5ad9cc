// Bookkeeping that the clients share through the center: the tree nodes that
// clients created for their local values, removed again once empty. Shared
// because a node one client created may hold the values of others.
#pragma once

#include <QStringList>

namespace vtremote
{
namespace VtClientCenterPrivate
{
// Owner's thread of the clients (the tree's thread).
void noteCreatedNodes(const QStringList &paths);
// Removes the node at `path` and then its parents, as long as each is empty
// and was created by a client. Costs the depth of the path, not the number
// of clients.
void dropEmptyNodesAbove(const QString &path);
}
}
