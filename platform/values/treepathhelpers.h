// Tree paths of objects that place their values in the host value tree.
#pragma once

#include <QString>
#include <QStringList>

namespace TreePathHelpers
{
// Joins the pieces with exactly one "/" at every joint and keeps a leading
// "/" of the first piece: ("/A/", "/B") gives "/A/B", ("A", "") gives "A/",
// ("", "B") gives "/B". Empty pieces count as pieces.
QString concatTreePaths(const QString &first, const QString &second);
QString concatTreePaths(const QStringList &pieces);

class TreePathSupport
{
public:
    TreePathSupport();
    virtual ~TreePathSupport();
    // Called by setTreePath when the path changed.
    virtual void onTreePathChanged(const QString &path);

    // The initial path is "/", the root of the tree.
    void setTreePath(const QString &path);
    QString treePath() const { return path; }
    // This object's path extended by `relativePath`.
    QString createSubTreePath(const QString &relativePath) const;

private:
    QString path;
};
}
