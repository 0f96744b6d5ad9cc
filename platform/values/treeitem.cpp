#include "treeitem.h"

#include "node.h"

#include <QStringList>

namespace values
{
TreeItem::~TreeItem()
{
    // Someone deleted an item that is still in a node: take it out, so the
    // node does not keep a dangling child.
    if (parent)
        parent->TakeChild(name);
}

QString TreeItem::GetPath() const
{
    QStringList names;
    for (const TreeItem *item = this; item; item = item->parent) {
        if (!item->name.isEmpty())
            names.prepend(item->name);
    }
    return QLatin1Char('/') + names.join(QLatin1Char('/'));
}
}
