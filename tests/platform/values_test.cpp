// The host value tree: notifications, removal, value pointers and paths.
#include "changecodes.h"
#include "iobserver.h"
#include "node.h"
#include "observerqueries.h"
#include "tree.h"
#include "treehost.h"
#include "treepathhelpers.h"
#include "value.h"
#include "valueptr.h"
#include "valueselection.h"
#include "zrexception.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using namespace values;

namespace
{
struct Recorder : IObserver
{
    std::vector<unsigned int> codes;
    std::vector<int> states; // the value's state when notified, -1 for nodes
    std::function<void(unsigned int)> onNotify;

    void Notify(Observable *subject, unsigned int code) override
    {
        auto *value = dynamic_cast<ValueBase *>(subject);
        codes.push_back(code);
        states.push_back(value ? value->GetState() : -1);
        if (onNotify)
            onNotify(code);
    }
};

// Counts destructions, so a test can tell that RemoveValue really frees.
int liveProbes = 0;
struct ProbeValue : Value<int>
{
    ProbeValue() { ++liveProbes; }
    ~ProbeValue() override { --liveProbes; }
};

template <typename T> T *named(const char *name)
{
    auto *value = new T;
    value->SetName(QString::fromLatin1(name), nullptr);
    return value;
}
class ValueTree : public ::testing::Test
{
protected:
    void SetUp() override { tree = TreeHost::Create(); }
    void TearDown() override { TreeHost::Destroy(); }
    template <typename T> T *add(const char *parent, const char *name)
    {
        T *value = named<T>(name);
        EXPECT_TRUE(tree->AddValue(QString::fromLatin1(parent), value));
        return value;
    }
    Tree *tree = nullptr;
};
}

TEST_F(ValueTree, ValuesNotifyOnlyRealChanges)
{
    auto *value = add<Value<int>>("/D", "OutputNumber");
    Recorder observer, writer;
    value->AddObserver(&observer);
    value->AddObserver(&writer);

    EXPECT_TRUE(value->SetValue(5, &writer));
    EXPECT_FALSE(value->SetValue(5, nullptr)) << "unchanged";
    EXPECT_TRUE(value->SetStringValue("5", nullptr)) << "parses, changes nothing";
    EXPECT_FALSE(value->SetStringValue("seven", nullptr));
    value->SetState(ValueBase::StateValid, nullptr);
    value->SetState(5, nullptr);
    value->ReceiveCommand(nullptr);

    using namespace ChangeCode;
    EXPECT_EQ(observer.codes, (std::vector<unsigned int> {ValueChanged, StateChanged, CommandReceived}));
    EXPECT_EQ(observer.states[1], 5) << "GetState gives the new state during code 2";
    EXPECT_EQ(writer.codes.size(), 2u) << "the originator is not told of its own write";
    value->DeleteObservers();
}

TEST_F(ValueTree, AddValueRefusesTakenNamesAndThrowsForBadOnes)
{
    auto *first = add<Value<int>>("/D/", "ANTENNA");
    EXPECT_EQ(tree->FindValue("//D//ANTENNA/"), first);

    // Same name, other type: refused, and the caller keeps its value.
    auto *conflicting = named<ValueSelection>("ANTENNA");
    EXPECT_FALSE(tree->AddValue("/D", conflicting));
    EXPECT_EQ(conflicting->GetParent(), nullptr);
    EXPECT_EQ(tree->FindValue("/D/ANTENNA"), first);
    delete conflicting;

    auto *nameless = new Value<QString>;
    EXPECT_THROW(tree->AddValue("/D", nameless), ZRException);
    delete nameless;
    auto *below = named<Value<int>>("W");
    EXPECT_THROW(tree->AddValue("/D/ANTENNA/deeper", below), ZRException);
    delete below;
}

TEST_F(ValueTree, NodeNotifiesCode16AfterItsChildrenChanged)
{
    Node *antennas = TreeHost::AddNode("/D/ANTENNAS");
    Recorder observer;
    std::vector<int> childCounts;
    observer.onNotify = [&](unsigned int) { childCounts.push_back(antennas->GetTreeItems().size()); };
    antennas->AddObserver(&observer);

    add<Value<int>>("/D/ANTENNAS", "MatrixOut");
    add<Value<int>>("/D/ANTENNAS/HF1", "ExternalNumber");
    tree->RemoveValue("/D/ANTENNAS/MatrixOut");
    tree->RemoveValue("/D/ANTENNAS/nothing");
    EXPECT_EQ(observer.codes, (std::vector<unsigned int> {16, 16, 16}));
    EXPECT_EQ(childCounts, (std::vector<int> {1, 2, 1}));
    antennas->DeleteObserver(&observer);
}

// Observers hear the release while the value is whole and in its node and may
// remove it again from there; then the node reports; the value is freed once.
TEST_F(ValueTree, RemoveValueReleasesThenDetachesAndFrees)
{
    auto *probe = add<ProbeValue>("/D", "USINGANTENNAMATRIX");
    Node *parent = tree->FindNode("/D");
    std::vector<QString> order;
    Recorder remover, tail, nodeObserver;
    remover.onNotify = [&](unsigned int) {
        order.push_back("value " + probe->GetPath());
        EXPECT_EQ(probe->GetParent(), parent);
        probe->DeleteObserver(&remover);
        tree->RemoveValue("/D/USINGANTENNAMATRIX");
    };
    nodeObserver.onNotify = [&](unsigned int) {
        order.push_back("node");
        EXPECT_EQ(tree->FindValue("/D/USINGANTENNAMATRIX"), nullptr);
    };
    probe->AddObserver(&remover);
    probe->AddObserver(&tail);
    parent->AddObserver(&nodeObserver);

    tree->RemoveValue("D/USINGANTENNAMATRIX");
    EXPECT_EQ(order, (std::vector<QString> {"value /D/USINGANTENNAMATRIX", "node"}));
    EXPECT_EQ(tail.codes, std::vector<unsigned int> {2}) << "still heard the release";
    EXPECT_EQ(tail.states, std::vector<int> {ValueBase::StateReleased});
    EXPECT_EQ(liveProbes, 0);
    parent->DeleteObserver(&nodeObserver);
}

TEST_F(ValueTree, ValueObservingPtrMovesTheOwnersRegistration)
{
    auto *ip = add<Value<QString>>("/R", "Ip");
    auto *other = add<Value<QString>>("/R", "Other");
    Recorder owner;
    ValueObservingPtr<Value<QString>> ptr(&owner, ip);
    ip->SetValue("10.0.0.1", nullptr);
    EXPECT_EQ(owner.codes, std::vector<unsigned int> {3}) << "the owner receives the value's notifications";

    ptr.reset(other);
    EXPECT_EQ(ObserverQueries::ObserverCount(*ip), 0);
    other->SetState(7, nullptr);
    EXPECT_EQ(ptr.get(), other) << "only state 1 means going away";

    tree->RemoveValue("/R/Other");
    EXPECT_FALSE(ptr);
    EXPECT_EQ(owner.codes, (std::vector<unsigned int> {3, 2, 2})) << "the owner still hears the release";
    EXPECT_EQ(owner.states.back(), ValueBase::StateReleased);

    {
        ValueObservingPtr<Value<QString>> scoped(&owner, ip);
        EXPECT_EQ(ObserverQueries::ObserverCount(*ip), 2);
    }
    EXPECT_EQ(ObserverQueries::ObserverCount(*ip), 0) << "the destructor unregisters both";
}

TEST(TreePaths, ExactlyOneSlashAtEachJoint)
{
    const char *cases[][3] = {{"A", "B", "A/B"}, {"/A/", "/B", "/A/B"}, {"A//", "//B/", "A/B/"}, {"A", "", "A/"},
        {"", "B", "/B"}, {"/", "B", "/B"}, {"", "", "/"}, {"/A/B", "C/D", "/A/B/C/D"}};
    for (const auto &c : cases) {
        EXPECT_EQ(TreePathHelpers::concatTreePaths(QString::fromLatin1(c[0]), QString::fromLatin1(c[1])),
            QString::fromLatin1(c[2]))
            << '"' << c[0] << "\" + \"" << c[1] << '"';
    }
    EXPECT_EQ(TreePathHelpers::concatTreePaths(QStringList {"/A/", QString(), "/C"}), "/A/C");
}

namespace
{
// A node with many children finds each by name, keeps the insertion order
// through removals from anywhere, and frees a name again once its child left,
// also when observers delete siblings while the node goes.
TEST_F(ValueTree, ManyChildrenAreFoundByNameInOrderThroughRemovalsAndTeardown)
{
    Node *node = TreeHost::AddNode("/MANY");
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(tree->AddValue("/MANY", named<ProbeValue>(qPrintable(QString::number(i)))));
    for (int i = 0; i < 1000; i += 2)
        tree->RemoveValue(QStringLiteral("/MANY/%1").arg(i));
    ASSERT_EQ(node->GetTreeItems().size(), 500);
    EXPECT_EQ(node->GetTreeItems().first()->GetName(), "1");
    EXPECT_EQ(node->GetTreeItems().last()->GetName(), "999");
    EXPECT_EQ(node->GetChildValue("4"), nullptr);
    ASSERT_NE(node->GetChildValue("5"), nullptr);
    EXPECT_EQ(node->GetChildValue("5")->GetName(), "5");
    EXPECT_TRUE(tree->AddValue("/MANY", named<ProbeValue>("4")));
    EXPECT_EQ(node->GetTreeItems().last()->GetName(), "4");

    // Releasing the first child deletes the next one behind the node's back.
    Recorder recorder;
    auto *first = node->GetChildValue("1");
    first->AddObserver(&recorder);
    recorder.onNotify = [&](unsigned int code) {
        if (code == ChangeCode::StateChanged)
            delete node->GetChildValue("3");
    };
    const int live = liveProbes;
    TreeHost::RemoveNode("/MANY");
    EXPECT_EQ(liveProbes, live - 501);
}
}
