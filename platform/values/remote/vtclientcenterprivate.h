// Bookkeeping that the clients share through the center: the tree nodes that
// clients created for their local values, removed again once empty.
#pragma once

#include <QStringList>

namespace vtremote
{
namespace VtClientCenterPrivate
{
// Owner's thread of the clients (the tree's thread).
void noteCreatedNodes(const QStringList &paths);
void dropEmptyNodes();
}
}
