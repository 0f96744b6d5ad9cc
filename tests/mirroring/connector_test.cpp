// The connectors and the receiver list comparison against a tree server in
// this process. The ORB listens on several ports; each port is another
// receiver identifier for the same served tree.
#include "hostprocess.h"
#include "mirroringtestsupport.h"

#include "errorhandler.h"
#include "receivercco.h"
#include "receiverconnector.h"
#include "remoteconnector.h"
#include "tree.h"
#include "vtclientcenter.h"
#include "vttreeserver.h"
#include "waituntil.h"

#include <QMetaMethod>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>

using namespace mirroringtest;
using namespace externalCCODriver::mirroring;
using testsupport::waitUntil;

namespace
{
class Fixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ports = ensureOrb(4);
        VtClientCenter::Timing timing;
        timing.waitMs = 300;
        timing.retryMs = 100;
        timing.callMarginMs = 1000;
        VtClientCenter::Instance()->SetTiming(timing);
        server = std::make_unique<VtTreeServer>();
        ASSERT_TRUE(server->start());
        putText(QStringLiteral("/ADMINISTRATION/DRIVERVTPATH"), QStringLiteral("/DEVICES/RX"));
        putText(QStringLiteral("/ADMINISTRATION/Ip"), QStringLiteral("10.0.0.1"));
        putText(QStringLiteral("/DEVICES/RX/Frequency"), QStringLiteral("100"));
        putText(QStringLiteral("/DEVICES/RX/Mode"), QStringLiteral("AM"));
        parameters.subTreePattern = QStringLiteral("RECEIVERS/RX%1");
        parameters.mirroredValues = QStringList{QStringLiteral("Frequency"), QStringLiteral("Mode")};
    }

    void TearDown() override
    {
        server.reset();
        values::Tree *tree = values::Tree::Instance();
        EXPECT_EQ(VtClientCenter::Instance()->ClientCount(), 0);
        EXPECT_EQ(VtClientCenter::NetworkThreadCount(), 0);
        EXPECT_FALSE(nodeExists(QStringLiteral("/RECEIVERS")));
        tree->RemoveNode(QStringLiteral("/RECEIVERS"));
        tree->RemoveNode(QStringLiteral("/ADMINISTRATION"));
        tree->RemoveNode(QStringLiteral("/DEVICES"));
        ErrorHandler::Instance()->SetTraceCapture({});
    }

    ReceiverIdentifier receiver(int n) const { return ReceiverIdentifier(QStringLiteral("127.0.0.1"), ports.at(n)); }

    // "C<index>:<ip>" for receiverConnected, "D<index>" for receiverDisconnected.
    template<typename Emitter>
    void record(Emitter *emitter)
    {
        QObject::connect(emitter, &Emitter::receiverConnected, &context, [this](const CcoReceiverProperties &p) {
            events << QStringLiteral("C%1:%2").arg(p.index).arg(p.ip);
            last = p;
        });
        QObject::connect(emitter, &Emitter::receiverDisconnected, &context,
                         [this](int index) { events << QStringLiteral("D%1").arg(index); });
    }

    bool waitForEvent(const QString &event, int count = 1, int timeoutMs = 5000)
    {
        return waitUntil([&] { return events.count(event) >= count; }, timeoutMs);
    }

    void captureTraces()
    {
        ErrorHandler::Instance()->SetTraceFilter(0x20);
        ErrorHandler::Instance()->SetTraceCapture([this](const QString &line) {
            std::lock_guard<std::mutex> lock(traceMutex);
            if (line.contains(QLatin1String(" receiver ")))
                traces << line;
        });
    }

    QStringList receiverTraces()
    {
        std::lock_guard<std::mutex> lock(traceMutex);
        QStringList result;
        for (const QString &line : qAsConst(traces)) {
            const int at = line.indexOf(QLatin1String("Connect to receiver"));
            const int from = at >= 0 ? at : line.indexOf(QLatin1String("Disconnected from receiver"));
            result << line.mid(from);
        }
        return result;
    }

    void clearTraces()
    {
        std::lock_guard<std::mutex> lock(traceMutex);
        traces.clear();
    }

    QList<int> ports;
    std::unique_ptr<VtTreeServer> server;
    CcoInitParameters parameters;
    QObject context;
    QStringList events;
    CcoReceiverProperties last;
    std::mutex traceMutex;
    QStringList traces;
};

class TestReceiverCCO : public ReceiverCCO
{
public:
    using ReceiverCCO::checkReceiverList;
    using ReceiverCCO::onReceiverListUpdated;
    using ReceiverCCO::ReceiverCCO;
};

using Connectors = Fixture;
using ReceiverList = Fixture;

TEST_F(Connectors, MirrorReportsFollowsAndReportsEachIpChangeAsDisconnectThenConnect)
{
    QObject parent;
    auto *connector = new ReceiverConnector(&parent);
    connector->setInitParameters(parameters);
    record(connector);
    connector->connectRemote(receiver(0));

    ASSERT_TRUE(waitForEvent(QStringLiteral("C0:10.0.0.1")));
    EXPECT_EQ(last.valuePaths,
              (QMap<QString, QString>{{QStringLiteral("Frequency"), QStringLiteral("/RECEIVERS/RX0/Frequency")},
                                      {QStringLiteral("Mode"), QStringLiteral("/RECEIVERS/RX0/Mode")}}));
    // The mirrors hold the remote texts by the time the receiver is reported.
    EXPECT_EQ(textAt(QStringLiteral("/RECEIVERS/RX0/Frequency")), QStringLiteral("100"));
    EXPECT_EQ(textAt(QStringLiteral("/RECEIVERS/RX0/Mode")), QStringLiteral("AM"));
    EXPECT_EQ(textAt(QStringLiteral("/RECEIVERS/RX0/ADMINISTRATION/DRIVERVTPATH")), QStringLiteral("/DEVICES/RX"));

    putText(QStringLiteral("/DEVICES/RX/Frequency"), QStringLiteral("200"));
    EXPECT_TRUE(
        waitUntil([] { return textAt(QStringLiteral("/RECEIVERS/RX0/Frequency")) == QLatin1String("200"); }, 3000));

    events.clear();
    putText(QStringLiteral("/ADMINISTRATION/Ip"), QStringLiteral("10.0.0.2"));
    ASSERT_TRUE(waitForEvent(QStringLiteral("C0:10.0.0.2")));
    EXPECT_EQ(events, (QStringList{QStringLiteral("D0"), QStringLiteral("C0:10.0.0.2")}));

    events.clear();
    connector->disconnectRemote(receiver(0));
    EXPECT_EQ(events, QStringList{QStringLiteral("D0")});
    EXPECT_TRUE(parent.findChildren<RemoteConnector *>().isEmpty());
}

TEST_F(Connectors, IndexesCountUpAndOnlyTheTopOneIsReused)
{
    QObject parent;
    auto *connector = new ReceiverConnector(&parent);
    connector->setInitParameters(parameters);
    auto indexOf = [&](const QString &treePath) {
        for (RemoteConnector *remote : parent.findChildren<RemoteConnector *>()) {
            if (remote->treePath() == treePath)
                return remote->index();
        }
        return -1;
    };

    connector->connectRemote(receiver(0));
    connector->connectRemote(receiver(1));
    connector->connectRemote(receiver(2));
    connector->connectRemote(receiver(1));
    connector->connectRemote(ReceiverIdentifier(QString(), ports.at(3)));
    EXPECT_EQ(parent.findChildren<RemoteConnector *>().size(), 3);
    EXPECT_EQ(indexOf(QStringLiteral("/RECEIVERS/RX1")), 1);
    EXPECT_EQ(indexOf(QStringLiteral("/RECEIVERS/RX2")), 2);

    connector->disconnectRemote(ReceiverIdentifier(QStringLiteral("127.0.0.1"), 1));
    connector->disconnectRemote(receiver(2));
    connector->connectRemote(receiver(3));
    EXPECT_EQ(indexOf(QStringLiteral("/RECEIVERS/RX2")), 2);

    connector->disconnectRemote(receiver(0));
    connector->connectRemote(ReceiverIdentifier(QStringLiteral("localhost"), ports.at(0)));
    EXPECT_EQ(indexOf(QStringLiteral("/RECEIVERS/RX3")), 3);
    EXPECT_EQ(indexOf(QStringLiteral("/RECEIVERS/RX0")), -1);
    EXPECT_EQ(parent.findChildren<RemoteConnector *>().size(), 3);
}

TEST_F(Connectors, OnlyAConnectedReceiverIsReportedGoneWhenItsConnectorIsDeleted)
{
    QObject parent;
    auto *connector = new ReceiverConnector(&parent);
    connector->setInitParameters(parameters);
    record(connector);
    // An existing local value at a link's path is used, not replaced.
    putText(QStringLiteral("/RECEIVERS/RX0/Mode"), QStringLiteral("preset"));
    values::ValueBase *preset = values::Tree::Instance()->FindValue(QStringLiteral("/RECEIVERS/RX0/Mode"));

    const ReceiverIdentifier unreachable(QStringLiteral("127.0.0.1"), freePort());
    connector->connectRemote(receiver(0));
    connector->connectRemote(unreachable);
    ASSERT_TRUE(waitForEvent(QStringLiteral("C0:10.0.0.1")));
    EXPECT_EQ(values::Tree::Instance()->FindValue(QStringLiteral("/RECEIVERS/RX0/Mode")), preset);
    EXPECT_EQ(textAt(QStringLiteral("/RECEIVERS/RX0/Mode")), QStringLiteral("AM"));

    events.clear();
    connector->disconnectRemote(unreachable);
    connector->disconnectRemote(receiver(0));
    EXPECT_EQ(events, QStringList{QStringLiteral("D0")});
    values::Tree::Instance()->RemoveNode(QStringLiteral("/RECEIVERS"));
}

TEST_F(ReceiverList, KeepsOnlyFourStringEntriesWithAPort)
{
    captureTraces();
    QObject parent;
    auto *mirror = new TestReceiverCCO(parent);
    mirror->init(parameters);
    const QString host = QStringLiteral("127.0.0.1");
    const QString dead = QString::number(freePort());
    mirror->onReceiverListUpdated({
        {QStringLiteral("zero"), {host, QStringLiteral("d"), QStringLiteral("i"), QStringLiteral("0")}},
        {QStringLiteral("text"), {host, QStringLiteral("d"), QStringLiteral("i"), QStringLiteral("x")}},
        {QStringLiteral("three"), {host, QStringLiteral("d"), dead}},
        {QStringLiteral("five"), {host, QStringLiteral("d"), QStringLiteral("i"), dead, dead}},
        {QStringLiteral("good"), {host, QStringLiteral("d"), QStringLiteral("i"), QStringLiteral("4711")}},
    });
    EXPECT_EQ(receiverTraces(), QStringList{QStringLiteral("Connect to receiver 127.0.0.1:4711")});
    EXPECT_EQ(VtClientCenter::Instance()->ClientCount(), 1);
}

TEST_F(ReceiverList, ConnectsEachNewReceiverOnceSkipsExcludedAndConnectsBeforeItDisconnects)
{
    captureTraces();
    parameters.excludedReceivers = {ReceiverIdentifier(QStringLiteral("127.0.0.1"), 4712)};
    QObject parent;
    auto *mirror = new TestReceiverCCO(parent);
    mirror->init(parameters);
    auto id = [](const char *host, int port) { return ReceiverIdentifier(QString::fromLatin1(host), port); };

    mirror->checkReceiverList({id("127.0.0.1", 4711), id("127.0.0.1", 4711), id("127.0.0.1", 4712),
                               id("LOCALHOST", 4711), id("localhost", 4711)});
    EXPECT_EQ(receiverTraces(), (QStringList{QStringLiteral("Connect to receiver 127.0.0.1:4711"),
                                             QStringLiteral("Connect to receiver LOCALHOST:4711"),
                                             QStringLiteral("Connect to receiver localhost:4711")}));
    EXPECT_EQ(VtClientCenter::Instance()->ClientCount(), 3);

    clearTraces();
    mirror->checkReceiverList({id("LOCALHOST", 4711), id("localhost", 4711), id("127.0.0.1", 4713)});
    EXPECT_EQ(receiverTraces(), (QStringList{QStringLiteral("Connect to receiver 127.0.0.1:4713"),
                                             QStringLiteral("Disconnected from receiver 127.0.0.1:4711")}));

    clearTraces();
    mirror->checkReceiverList({});
    EXPECT_EQ(receiverTraces().size(), 3);
    EXPECT_EQ(VtClientCenter::Instance()->ClientCount(), 0);
}

// A module may tear the whole mirror down from a slot of receiverDisconnected,
// also when the report comes from a connector that the list update deletes.
TEST_F(ReceiverList, MirrorDeletedFromASlotOfReceiverDisconnectedDuringAnUpdate)
{
    auto *parent = new QObject;
    auto *mirror = new TestReceiverCCO(*parent);
    mirror->init(parameters);
    record(mirror);
    QObject::connect(mirror, &ReceiverCCO::receiverDisconnected, &context, [&parent] {
        delete parent;
        parent = nullptr;
    });
    mirror->checkReceiverList({receiver(0), receiver(1)});
    ASSERT_TRUE(waitUntil([&] {
        return events.contains(QStringLiteral("C0:10.0.0.1")) && events.contains(QStringLiteral("C1:10.0.0.1"));
    }));

    events.clear();
    mirror->checkReceiverList({});
    EXPECT_EQ(parent, nullptr);
    EXPECT_EQ(events, QStringList{QStringLiteral("D0")});
    EXPECT_EQ(VtClientCenter::Instance()->ClientCount(), 0);
}
}

namespace
{
QStringList ownMethods(const QMetaObject &meta)
{
    QStringList methods;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        methods << QString::fromLatin1(meta.method(i).methodSignature());
    return methods;
}

// Other modules connect to these classes by signature strings and look them up
// by meta-object, so names, parameter types and order are part of the contract.
TEST(MirroringMetaObjects, MethodsStandInTheAgreedOrder)
{
    EXPECT_EQ(ownMethods(ReceiverCCO::staticMetaObject),
              (QStringList{QStringLiteral("receiverConnected(externalCCODriver::mirroring::CcoReceiverProperties)"),
                           QStringLiteral("receiverDisconnected(int)"),
                           QStringLiteral("onReceiverListUpdated(externalCCODriver::CCOWatcher::CCOValuesList)")}));
    EXPECT_EQ(ownMethods(ReceiverConnector::staticMetaObject),
              (QStringList{QStringLiteral("receiverDisconnected(int)"),
                           QStringLiteral("receiverConnected(externalCCODriver::mirroring::CcoReceiverProperties)"),
                           QStringLiteral("connectRemote(ReceiverIdentifier)"),
                           QStringLiteral("disconnectRemote(ReceiverIdentifier)")}));
    EXPECT_EQ(ownMethods(RemoteConnector::staticMetaObject),
              (QStringList{QStringLiteral("remoteConnected(externalCCODriver::mirroring::CcoReceiverProperties)"),
                           QStringLiteral("remoteDisconnected(int)")}));

    QObject parent;
    RemoteConnector connector(VtClientPtr(), 0, &parent);
    EXPECT_NE(connector.qt_metacast("TreePathHelpers::TreePathSupport"), nullptr);
    EXPECT_NE(connector.qt_metacast("IObserver"), nullptr);
}
}
