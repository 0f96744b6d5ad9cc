// Joining tree paths and the tree path of objects that place values.
#include "treepathhelpers.h"

#include <gtest/gtest.h>

using TreePathHelpers::concatTreePaths;

TEST(ConcatTreePaths, ExactlyOneSlashAtEachJoint)
{
    struct Case
    {
        const char *first, *second, *joined;
    };
    const Case cases[] = {
        {"A", "B", "A/B"},
        {"/A/", "/B", "/A/B"},
        {"A//", "//B/", "A/B/"},
        {"/A", "B", "/A/B"},
        {"A", "", "A/"},
        {"", "B", "/B"},
        {"/", "B", "/B"},
        {"", "", "/"},
        {"/A/B", "C/D", "/A/B/C/D"},
        {"CCO/LocalSystem/SubSystems", "Sub1", "CCO/LocalSystem/SubSystems/Sub1"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(concatTreePaths(QString::fromLatin1(c.first), QString::fromLatin1(c.second)),
                  QString::fromLatin1(c.joined))
            << '"' << c.first << "\" + \"" << c.second << '"';
    }
}

TEST(ConcatTreePaths, ListJoinsLeftToRight)
{
    EXPECT_EQ(concatTreePaths(QStringList{}), QString());
    EXPECT_EQ(concatTreePaths(QStringList{QStringLiteral("/A/")}), QStringLiteral("/A/"));
    EXPECT_EQ(concatTreePaths(QStringList{QStringLiteral("/A/"), QStringLiteral("/B/"), QStringLiteral("C")}),
              QStringLiteral("/A/B/C"));
    EXPECT_EQ(concatTreePaths(QStringList{QStringLiteral("A"), QString(), QStringLiteral("C")}),
              QStringLiteral("A/C"));
    EXPECT_EQ(concatTreePaths(QStringList{QStringLiteral("ADMINISTRATION"), QStringLiteral("DRIVERVTPATH")}),
              QStringLiteral("ADMINISTRATION/DRIVERVTPATH"));
}

namespace
{
class PathHolder : public TreePathHelpers::TreePathSupport
{
public:
    void onTreePathChanged(const QString &path) override { changes.append(path); }
    QStringList changes;
};
}

TEST(TreePathSupport, StartsAtTheRootAndReportsChanges)
{
    PathHolder holder;
    EXPECT_EQ(holder.treePath(), QStringLiteral("/"));
    EXPECT_EQ(holder.createSubTreePath(QStringLiteral("RX%1").arg(1)), QStringLiteral("/RX1"));

    holder.setTreePath(QStringLiteral("/RX1"));
    holder.setTreePath(QStringLiteral("/RX1"));
    EXPECT_EQ(holder.changes, QStringList{QStringLiteral("/RX1")}) << "only a change is reported";
    EXPECT_EQ(holder.createSubTreePath(QStringLiteral("ADMINISTRATION/Ip")), QStringLiteral("/RX1/ADMINISTRATION/Ip"));
    EXPECT_EQ(holder.createSubTreePath(QStringLiteral("/Level")), QStringLiteral("/RX1/Level"));

    TreePathHelpers::TreePathSupport *base = &holder;
    base->setTreePath(QStringLiteral("/RX2/"));
    EXPECT_EQ(holder.changes.last(), QStringLiteral("/RX2/"));
    EXPECT_EQ(base->createSubTreePath(QStringLiteral("Level")), QStringLiteral("/RX2/Level"));
}
