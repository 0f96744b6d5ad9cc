#include "treepathhelpers.h"

namespace TreePathHelpers
{
QString concatTreePaths(const QString &first, const QString &second)
{
    int end = first.size();
    while (end > 0 && first.at(end - 1) == QLatin1Char('/'))
        --end;
    int begin = 0;
    while (begin < second.size() && second.at(begin) == QLatin1Char('/'))
        ++begin;
    return first.left(end) + QLatin1Char('/') + second.mid(begin);
}

QString concatTreePaths(const QStringList &pieces)
{
    if (pieces.isEmpty())
        return QString();
    QString path = pieces.first();
    for (int i = 1; i < pieces.size(); ++i)
        path = concatTreePaths(path, pieces.at(i));
    return path;
}

TreePathSupport::TreePathSupport()
    : path(QStringLiteral("/"))
{
}

TreePathSupport::~TreePathSupport() = default;

void TreePathSupport::onTreePathChanged(const QString &)
{
}

void TreePathSupport::setTreePath(const QString &newPath)
{
    if (newPath == path)
        return;
    path = newPath;
    onTreePathChanged(path);
}

QString TreePathSupport::createSubTreePath(const QString &relativePath) const
{
    return concatTreePaths(path, relativePath);
}
}
