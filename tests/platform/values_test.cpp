// The host value tree: values, nodes, notifications and value pointers.
#include "changecodes.h"
#include "iobserver.h"
#include "node.h"
#include "tree.h"
#include "value.h"
#include "valueptr.h"
#include "valueselection.h"
#include "zrexception.h"

#include <gtest/gtest.h>

#include <functional>
#include <utility>
#include <vector>

using namespace values;

namespace
{
struct Recorder : IObserver
{
    struct Event
    {
        Observable *subject;
        unsigned int code;
        int state; // the value's state at notification time, -1 for nodes
    };
    std::vector<Event> events;
    std::function<void(Observable *, unsigned int)> onNotify;

    void Notify(Observable *subject, unsigned int code) override
    {
        auto *value = dynamic_cast<ValueBase *>(subject);
        events.push_back({subject, code, value ? value->GetState() : -1});
        if (onNotify)
            onNotify(subject, code);
    }
    std::vector<unsigned int> codes() const
    {
        std::vector<unsigned int> result;
        for (const Event &e : events)
            result.push_back(e.code);
        return result;
    }
};

// Counts destructions, so a test can tell that RemoveValue really frees.
int liveProbes = 0;
class ProbeValue : public Value<int>
{
public:
    ProbeValue() { ++liveProbes; }
    ~ProbeValue() override { --liveProbes; }
};

template<typename T>
T *named(const QString &name)
{
    auto *value = new T;
    value->SetName(name, nullptr);
    return value;
}

class ValueTree : public ::testing::Test
{
protected:
    void SetUp() override { tree = Tree::Create(); }
    void TearDown() override { Tree::Destroy(); }
    Tree *tree = nullptr;
};
}

TEST_F(ValueTree, CreateIsOnceAndDestroyClearsTheInstance)
{
    EXPECT_EQ(Tree::Instance(), tree);
    EXPECT_EQ(Tree::Create(), tree);
    Tree::Destroy();
    EXPECT_EQ(Tree::Instance(), nullptr);
    tree = Tree::Create();
    EXPECT_NE(tree, nullptr);
}

TEST_F(ValueTree, PathsAreLenientAboutSlashes)
{
    auto *value = named<Value<int>>(QStringLiteral("MatrixOut"));
    ASSERT_TRUE(tree->AddValue(QStringLiteral("/DEVICES/KRV4/ANTENNAS/"), value));
    EXPECT_EQ(value->GetPath(), QStringLiteral("/DEVICES/KRV4/ANTENNAS/MatrixOut"));
    EXPECT_EQ(tree->FindValue(QStringLiteral("DEVICES/KRV4/ANTENNAS/MatrixOut")), value);
    EXPECT_EQ(tree->FindValue(QStringLiteral("//DEVICES//KRV4/ANTENNAS/MatrixOut/")), value);
    EXPECT_EQ(tree->FindValue(QStringLiteral("/DEVICES/KRV4/ANTENNAS")), nullptr) << "a node is not a value";
    EXPECT_EQ(tree->FindValue(QStringLiteral("/")), nullptr);
    EXPECT_EQ(tree->FindNode(QStringLiteral("/")), tree->Root());
    EXPECT_EQ(tree->Root()->GetPath(), QStringLiteral("/"));
    Node *antennas = tree->FindNode(QStringLiteral("DEVICES/KRV4/ANTENNAS"));
    ASSERT_NE(antennas, nullptr);
    EXPECT_EQ(antennas->GetPath(), QStringLiteral("/DEVICES/KRV4/ANTENNAS"));
    EXPECT_EQ(antennas->GetChildValue(QStringLiteral("MatrixOut")), value);
    EXPECT_EQ(tree->FindNode(QStringLiteral("/DEVICES/KRV4/ANTENNAS/MatrixOut")), nullptr) << "a value is not a node";
}

TEST_F(ValueTree, AddValueRefusesTakenNamesOfAnyKind)
{
    auto *first = named<Value<int>>(QStringLiteral("ANTENNA"));
    ASSERT_TRUE(tree->AddValue(QStringLiteral("/D"), first));

    // The case of CreateObservedValue: same name, other type. The caller keeps
    // the value it made.
    auto *conflicting = named<ValueSelection>(QStringLiteral("ANTENNA"));
    EXPECT_FALSE(tree->AddValue(QStringLiteral("/D"), conflicting));
    EXPECT_EQ(conflicting->GetParent(), nullptr);
    EXPECT_EQ(tree->FindValue(QStringLiteral("/D/ANTENNA")), first);
    delete conflicting;

    tree->AddNode(QStringLiteral("/D/ANTENNAS"));
    auto *shadow = named<Value<bool>>(QStringLiteral("ANTENNAS"));
    EXPECT_FALSE(tree->AddValue(QStringLiteral("/D"), shadow)) << "a node holds the name";
    delete shadow;

    auto *twice = named<Value<bool>>(QStringLiteral("X"));
    ASSERT_TRUE(tree->AddValue(QStringLiteral("/D"), twice));
    EXPECT_FALSE(tree->AddValue(QStringLiteral("/E"), twice)) << "a value hangs in one place";
    EXPECT_EQ(twice->GetPath(), QStringLiteral("/D/X"));
    EXPECT_FALSE(tree->AddValue(QStringLiteral("/D"), nullptr));
}

TEST_F(ValueTree, AddValueThrowsForNamelessValuesAndPathsThroughValues)
{
    auto *nameless = new Value<QString>;
    EXPECT_THROW(tree->AddValue(QStringLiteral("/D"), nameless), ZRException);
    nameless->SetName(QStringLiteral("a/b"), nullptr);
    EXPECT_THROW(tree->AddValue(QStringLiteral("/D"), nameless), ZRException);
    delete nameless;

    ASSERT_TRUE(tree->AddValue(QStringLiteral("/D"), named<Value<int>>(QStringLiteral("V"))));
    auto *below = named<Value<int>>(QStringLiteral("W"));
    EXPECT_THROW(tree->AddValue(QStringLiteral("/D/V/deeper"), below), ZRException);
    EXPECT_EQ(tree->AddNode(QStringLiteral("/D/V/deeper")), nullptr);
    EXPECT_EQ(tree->FindNode(QStringLiteral("/D/V")), nullptr);
    delete below;
}

TEST_F(ValueTree, ValuesNotifyContentStateAndCommand)
{
    auto *value = named<Value<int>>(QStringLiteral("OutputNumber"));
    ASSERT_TRUE(tree->AddValue(QStringLiteral("/D"), value));
    Recorder observer, writer;
    value->AddObserver(&observer);
    value->AddObserver(&writer);

    EXPECT_TRUE(value->SetValue(5, &writer));
    EXPECT_FALSE(value->SetValue(5, nullptr)) << "unchanged";
    EXPECT_TRUE(value->SetStringValue(QStringLiteral(" 7 "), nullptr));
    EXPECT_TRUE(value->SetStringValue(QStringLiteral("7"), nullptr)) << "parses, but changes nothing";
    EXPECT_FALSE(value->SetStringValue(QStringLiteral("seven"), nullptr));
    EXPECT_EQ(value->GetValue(), 7);
    value->SetState(ValueBase::StateValid, nullptr); // same state: silent
    value->SetState(5, nullptr);
    value->ReceiveCommand(nullptr);

    EXPECT_EQ(observer.codes(), (std::vector<unsigned int>{ChangeCode::ValueChanged, ChangeCode::ValueChanged,
                                                           ChangeCode::StateChanged, ChangeCode::CommandReceived}));
    EXPECT_EQ(observer.events[2].state, 5) << "GetState gives the new state during code 2";
    EXPECT_EQ(writer.codes().size(), 3u) << "the originator is not told of its own write";
    value->DeleteObserver(&observer);
    value->DeleteObserver(&writer);
}

TEST_F(ValueTree, TypedTextForms)
{
    Value<bool> flag;
    EXPECT_EQ(flag.GetStringValue(), QStringLiteral("false"));
    EXPECT_EQ(flag.TypeName(), QStringLiteral("bool"));
    for (const char *yes : {"true", "TRUE", "1", " True "}) {
        flag.SetValue(false, nullptr);
        EXPECT_TRUE(flag.SetStringValue(QString::fromLatin1(yes), nullptr)) << yes;
        EXPECT_TRUE(flag.GetValue()) << yes;
    }
    EXPECT_EQ(flag.GetStringValue(), QStringLiteral("true"));
    EXPECT_FALSE(flag.SetStringValue(QStringLiteral("yes"), nullptr));
    EXPECT_FALSE(flag.SetStringValue(QStringLiteral("2"), nullptr));
    EXPECT_TRUE(flag.SetStringValue(QStringLiteral("0"), nullptr));
    EXPECT_FALSE(flag.GetValue());

    Value<int> number;
    EXPECT_EQ(number.TypeName(), QStringLiteral("int"));
    EXPECT_TRUE(number.SetStringValue(QStringLiteral("-12"), nullptr));
    EXPECT_EQ(number.GetStringValue(), QStringLiteral("-12"));
    EXPECT_FALSE(number.SetStringValue(QStringLiteral("0x10"), nullptr)) << "decimal only";
    EXPECT_FALSE(number.SetStringValue(QStringLiteral("99999999999"), nullptr)) << "out of range";
    EXPECT_EQ(number.GetValue(), -12);

    Value<QString> text;
    EXPECT_EQ(text.TypeName(), QStringLiteral("string"));
    EXPECT_TRUE(text.SetStringValue(QStringLiteral(" as is "), nullptr));
    EXPECT_EQ(text.GetValue(), QStringLiteral(" as is "));
}

TEST_F(ValueTree, SelectionItemsAndText)
{
    ValueSelection antenna;
    Recorder observer;
    antenna.AddObserver(&observer);
    EXPECT_EQ(antenna.TypeName(), QStringLiteral("selection"));
    EXPECT_EQ(antenna.GetSelectedIndex(), -1);
    EXPECT_TRUE(antenna.GetStringValue().isEmpty());

    antenna.SetItems({QStringLiteral("HF1"), QStringLiteral("VUHF"), QStringLiteral("HF1"), QString()}, nullptr);
    EXPECT_EQ(antenna.GetItemNames(), QStringList({QStringLiteral("HF1"), QStringLiteral("VUHF")}));
    ASSERT_NE(antenna.GetItem(QStringLiteral("VUHF")), nullptr);
    EXPECT_EQ(antenna.GetItem(QStringLiteral("VUHF"))->name, QStringLiteral("VUHF"));
    EXPECT_EQ(antenna.GetItem(QStringLiteral("vuhf")), nullptr) << "names are case-sensitive";

    EXPECT_FALSE(antenna.SetStringValue(QStringLiteral("LF"), nullptr));
    EXPECT_TRUE(antenna.SetStringValue(QStringLiteral("VUHF"), nullptr));
    EXPECT_TRUE(antenna.SetSelectedItem(QStringLiteral("VUHF"), nullptr)) << "same item: no code 3";
    EXPECT_EQ(antenna.GetSelectedIndex(), 1);
    EXPECT_EQ(antenna.GetStringValue(), QStringLiteral("VUHF"));
    EXPECT_EQ(observer.codes().size(), 2u);

    // New list that keeps the item: index moves, text stays.
    antenna.SetItems({QStringLiteral("LF"), QStringLiteral("HF1"), QStringLiteral("VUHF")}, nullptr);
    EXPECT_EQ(antenna.GetSelectedIndex(), 2);
    EXPECT_EQ(antenna.GetStringValue(), QStringLiteral("VUHF"));
    EXPECT_EQ(observer.codes().size(), 3u);
    antenna.SetItems({QStringLiteral("LF"), QStringLiteral("HF1"), QStringLiteral("VUHF")}, nullptr);
    EXPECT_EQ(observer.codes().size(), 3u) << "same items, same text: silent";

    // New list without it: nothing selected.
    antenna.SetItems({QStringLiteral("LF")}, nullptr);
    EXPECT_EQ(antenna.GetSelectedIndex(), -1);
    EXPECT_TRUE(antenna.GetStringValue().isEmpty());

    EXPECT_TRUE(antenna.SetStringValue(QStringLiteral("LF"), nullptr));
    EXPECT_TRUE(antenna.SetStringValue(QString(), nullptr)) << "the empty text selects nothing";
    EXPECT_EQ(antenna.GetSelectedIndex(), -1);
    for (unsigned int code : observer.codes())
        EXPECT_EQ(code, ChangeCode::ValueChanged);
    antenna.DeleteObserver(&observer);
}

TEST_F(ValueTree, NodeNotifiesChildrenChangesOnAddAndRemove)
{
    Node *antennas = tree->AddNode(QStringLiteral("/D/ANTENNAS"));
    ASSERT_NE(antennas, nullptr);
    EXPECT_EQ(tree->AddNode(QStringLiteral("D/ANTENNAS")), antennas) << "an existing node is returned";
    Recorder observer;
    std::vector<int> childCounts;
    observer.onNotify = [&](Observable *, unsigned int) { childCounts.push_back(antennas->GetTreeItems().size()); };
    antennas->AddObserver(&observer);

    ASSERT_TRUE(tree->AddValue(QStringLiteral("/D/ANTENNAS"), named<Value<int>>(QStringLiteral("MatrixOut"))));
    ASSERT_TRUE(tree->AddValue(QStringLiteral("/D/ANTENNAS/HF1"), named<Value<int>>(QStringLiteral("ExternalNumber"))));
    EXPECT_EQ(observer.codes(), (std::vector<unsigned int>{16, 16})) << "value, then the node HF1";

    const QList<TreeItem *> items = antennas->GetTreeItems();
    ASSERT_EQ(items.size(), 2);
    EXPECT_EQ(items[0]->GetName(), QStringLiteral("MatrixOut"));
    EXPECT_EQ(items[1]->GetName(), QStringLiteral("HF1"));

    tree->RemoveValue(QStringLiteral("/D/ANTENNAS/MatrixOut"));
    EXPECT_EQ(observer.codes(), (std::vector<unsigned int>{16, 16, 16}));
    EXPECT_EQ(childCounts, (std::vector<int>{1, 2, 1})) << "observers see the new children";

    EXPECT_TRUE(tree->RemoveNode(QStringLiteral("/D/ANTENNAS/HF1")));
    EXPECT_EQ(observer.codes().size(), 4u);
    EXPECT_TRUE(antennas->GetTreeItems().isEmpty());
    EXPECT_FALSE(tree->RemoveNode(QStringLiteral("/D/ANTENNAS/HF1")));
    EXPECT_FALSE(tree->RemoveNode(QStringLiteral("/")));

    tree->RemoveValue(QStringLiteral("/D/ANTENNAS/nothing"));
    EXPECT_EQ(observer.codes().size(), 4u) << "removing what is not there does nothing";
    antennas->DeleteObserver(&observer);
}

TEST_F(ValueTree, RemoveValueReleasesDetachesAndFrees)
{
    auto *probe = named<ProbeValue>(QStringLiteral("USINGANTENNAMATRIX"));
    ASSERT_TRUE(tree->AddValue(QStringLiteral("/D"), probe));
    Node *parent = tree->FindNode(QStringLiteral("/D"));
    EXPECT_EQ(liveProbes, 1);

    std::vector<std::pair<const char *, int>> order;
    Recorder valueObserver, nodeObserver;
    valueObserver.onNotify = [&](Observable *, unsigned int code) {
        // Released but still in its node and intact while observers let go.
        order.push_back({"value", static_cast<int>(code)});
        EXPECT_EQ(probe->GetParent(), parent);
        EXPECT_EQ(probe->GetPath(), QStringLiteral("/D/USINGANTENNAMATRIX"));
        probe->DeleteObserver(&valueObserver);
    };
    nodeObserver.onNotify = [&](Observable *, unsigned int code) {
        order.push_back({"node", static_cast<int>(code)});
        EXPECT_EQ(tree->FindValue(QStringLiteral("/D/USINGANTENNAMATRIX")), nullptr);
    };
    probe->AddObserver(&valueObserver);
    parent->AddObserver(&nodeObserver);

    tree->RemoveValue(QStringLiteral("D/USINGANTENNAMATRIX"));
    ASSERT_EQ(order.size(), 2u);
    EXPECT_STREQ(order[0].first, "value");
    EXPECT_EQ(order[0].second, 2);
    EXPECT_EQ(valueObserver.events[0].state, ValueBase::StateReleased);
    EXPECT_STREQ(order[1].first, "node");
    EXPECT_EQ(order[1].second, 16);
    EXPECT_EQ(liveProbes, 0);
    parent->DeleteObserver(&nodeObserver);
}

TEST_F(ValueTree, ObserversMayRemoveValuesWhileNotified)
{
    ASSERT_TRUE(tree->AddValue(QStringLiteral("/D"), named<ProbeValue>(QStringLiteral("A"))));
    ASSERT_TRUE(tree->AddValue(QStringLiteral("/D"), named<ProbeValue>(QStringLiteral("B"))));
    auto *a = tree->FindValue(QStringLiteral("/D/A"));
    auto *b = tree->FindValue(QStringLiteral("/D/B"));

    // An observer of A removes A itself on a change (its destruction ends the
    // round), another one removes B and then removes A again on the release.
    Recorder removesSelf, removesOther, tail;
    removesSelf.onNotify = [&](Observable *, unsigned int code) {
        if (code == ChangeCode::ValueChanged)
            tree->RemoveValue(QStringLiteral("/D/A"));
    };
    removesOther.onNotify = [&](Observable *, unsigned int code) {
        if (code == ChangeCode::StateChanged) {
            tree->RemoveValue(QStringLiteral("/D/B"));
            tree->RemoveValue(QStringLiteral("/D/A"));
        }
    };
    a->AddObserver(&removesSelf);
    a->AddObserver(&removesOther);
    a->AddObserver(&tail);
    b->AddObserver(&tail);

    static_cast<Value<int> *>(a)->SetValue(1, nullptr);
    EXPECT_EQ(liveProbes, 0);
    EXPECT_TRUE(tree->FindNode(QStringLiteral("/D"))->GetTreeItems().isEmpty());
    // tail heard B's release and A's release, but no code 3 after A was gone.
    EXPECT_EQ(tail.codes(), (std::vector<unsigned int>{2, 2}));
}

TEST_F(ValueTree, ValueListenersSeeEveryNotificationOfValuesInTheTree)
{
    std::vector<std::pair<QString, unsigned int>> heard;
    const int id = tree->AddValueListener([&](ValueBase *value, unsigned int code) {
        heard.push_back({value->GetPath(), code});
    });
    auto *value = named<Value<QString>>(QStringLiteral("LASTDRIVERERROR"));
    value->SetValue(QStringLiteral("not yet in the tree"), nullptr);
    ASSERT_TRUE(tree->AddValue(QStringLiteral("/D"), value));
    value->SetValue(QStringLiteral("Antenna cannot be changed"), nullptr);
    value->ReceiveCommand(nullptr);
    tree->RemoveValue(QStringLiteral("/D/LASTDRIVERERROR"));
    tree->RemoveValueListener(id);

    auto *later = named<Value<int>>(QStringLiteral("Later"));
    ASSERT_TRUE(tree->AddValue(QStringLiteral("/D"), later));
    later->SetValue(1, nullptr);

    const std::vector<std::pair<QString, unsigned int>> expected{
        {QStringLiteral("/D/LASTDRIVERERROR"), 3u},
        {QStringLiteral("/D/LASTDRIVERERROR"), 19u},
        {QStringLiteral("/D/LASTDRIVERERROR"), 2u}};
    EXPECT_EQ(heard, expected);
}

TEST_F(ValueTree, DestroyingTheTreeReleasesEveryValue)
{
    ASSERT_TRUE(tree->AddValue(QStringLiteral("/A/B"), named<ProbeValue>(QStringLiteral("x"))));
    ASSERT_TRUE(tree->AddValue(QStringLiteral("/A"), named<ProbeValue>(QStringLiteral("y"))));
    ValuePtr<Value<int>> deep(static_cast<Value<int> *>(tree->FindValue(QStringLiteral("/A/B/x"))));
    Recorder observer;
    deep->AddObserver(&observer);
    EXPECT_EQ(liveProbes, 2);
    Tree::Destroy();
    tree = nullptr;
    EXPECT_EQ(liveProbes, 0);
    EXPECT_FALSE(deep) << "the pointer let go on the release";
    ASSERT_EQ(observer.events.size(), 1u);
    EXPECT_EQ(observer.events[0].code, 2u);
    EXPECT_EQ(observer.events[0].state, ValueBase::StateReleased);
}

TEST_F(ValueTree, DeletingAValueDirectlyReleasesItAndTakesItOutOfItsNode)
{
    auto *value = named<ValueSelection>(QStringLiteral("V"));
    value->SetItems({QStringLiteral("HF1")}, nullptr);
    value->SetStringValue(QStringLiteral("HF1"), nullptr);
    ASSERT_TRUE(tree->AddValue(QStringLiteral("/D"), value));
    ValuePtr<ValueSelection> ptr(value);
    Recorder observer;
    QString textOnRelease;
    observer.onNotify = [&](Observable *, unsigned int) { textOnRelease = value->GetStringValue(); };
    value->AddObserver(&observer);

    delete value;
    EXPECT_FALSE(ptr);
    ASSERT_EQ(observer.events.size(), 1u);
    EXPECT_EQ(observer.events[0].state, ValueBase::StateReleased);
    EXPECT_EQ(textOnRelease, QStringLiteral("HF1")) << "still whole while released";
    EXPECT_EQ(tree->FindValue(QStringLiteral("/D/V")), nullptr);
    EXPECT_TRUE(tree->FindNode(QStringLiteral("/D"))->GetTreeItems().isEmpty());
}

TEST_F(ValueTree, ValuePtrMovesItsRegistrationAndLetsGoOnRelease)
{
    ASSERT_TRUE(tree->AddValue(QStringLiteral("/D"), named<Value<QString>>(QStringLiteral("Ip"))));
    ASSERT_TRUE(tree->AddValue(QStringLiteral("/D"), named<Value<QString>>(QStringLiteral("Ip2"))));
    auto *first = static_cast<Value<QString> *>(tree->FindValue(QStringLiteral("/D/Ip")));
    auto *second = static_cast<Value<QString> *>(tree->FindValue(QStringLiteral("/D/Ip2")));

    ValuePtr<Value<QString>> ptr(first);
    EXPECT_EQ(first->ObserverCount(), 1);
    ptr.reset(first);
    EXPECT_EQ(first->ObserverCount(), 1) << "reset to the same value keeps one registration";
    ptr.reset(second);
    EXPECT_EQ(first->ObserverCount(), 0);
    EXPECT_EQ(second->ObserverCount(), 1);
    EXPECT_EQ(ptr.get(), second);
    EXPECT_EQ(ptr->GetName(), QStringLiteral("Ip2"));

    second->SetState(7, nullptr);
    EXPECT_EQ(ptr.get(), second) << "only state 1 means going away";
    second->SetState(ValueBase::StateValid, nullptr);
    tree->RemoveValue(QStringLiteral("/D/Ip2"));
    EXPECT_FALSE(ptr);
    ptr.reset(); // must not touch the freed value
    {
        ValuePtr<Value<QString>> scoped(first);
        EXPECT_EQ(first->ObserverCount(), 1);
    }
    EXPECT_EQ(first->ObserverCount(), 0) << "the destructor unregisters";
}

TEST_F(ValueTree, ValueObservingPtrCarriesTheOwnersRegistration)
{
    ASSERT_TRUE(tree->AddValue(QStringLiteral("/R"), named<Value<QString>>(QStringLiteral("Ip"))));
    ASSERT_TRUE(tree->AddValue(QStringLiteral("/R"), named<Value<QString>>(QStringLiteral("Other"))));
    auto *ip = static_cast<Value<QString> *>(tree->FindValue(QStringLiteral("/R/Ip")));
    auto *other = static_cast<Value<QString> *>(tree->FindValue(QStringLiteral("/R/Other")));

    Recorder owner;
    ValueObservingPtr<Value<QString>> ptr(&owner, ip);
    EXPECT_TRUE(ip->HasObserver(&owner));
    ip->SetValue(QStringLiteral("10.0.0.1"), nullptr);
    EXPECT_EQ(owner.codes(), std::vector<unsigned int>{3}) << "the owner receives the value's notifications";

    ptr.reset(other);
    EXPECT_FALSE(ip->HasObserver(&owner));
    EXPECT_TRUE(other->HasObserver(&owner));
    ip->SetValue(QStringLiteral("10.0.0.2"), nullptr);
    EXPECT_EQ(owner.events.size(), 1u) << "no longer hears the old value";

    tree->RemoveValue(QStringLiteral("/R/Other"));
    EXPECT_FALSE(ptr);
    ASSERT_EQ(owner.events.size(), 2u) << "the owner still hears the release";
    EXPECT_EQ(owner.events[1].code, 2u);
    EXPECT_EQ(owner.events[1].state, ValueBase::StateReleased);

    ptr.reset(ip);
    EXPECT_TRUE(ip->HasObserver(&owner));
    ptr.reset();
    EXPECT_FALSE(ip->HasObserver(&owner));
    EXPECT_EQ(ip->ObserverCount(), 0);
}

TEST_F(ValueTree, OwnerMayResetThePointerFromItsNotification)
{
    ASSERT_TRUE(tree->AddValue(QStringLiteral("/R"), named<Value<int>>(QStringLiteral("a"))));
    ASSERT_TRUE(tree->AddValue(QStringLiteral("/R"), named<Value<int>>(QStringLiteral("b"))));
    auto *a = static_cast<Value<int> *>(tree->FindValue(QStringLiteral("/R/a")));
    auto *b = static_cast<Value<int> *>(tree->FindValue(QStringLiteral("/R/b")));
    Recorder owner;
    ValueObservingPtr<Value<int>> ptr(&owner);
    owner.onNotify = [&](Observable *subject, unsigned int code) {
        if (subject == a && code == ChangeCode::ValueChanged)
            ptr.reset(b);
    };
    ptr.reset(a);
    a->SetValue(1, nullptr);
    EXPECT_EQ(ptr.get(), b);
    EXPECT_EQ(a->ObserverCount(), 0);
    EXPECT_EQ(b->ObserverCount(), 2);
}
