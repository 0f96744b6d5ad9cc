// Receiver mirroring over the wire: a real cco-server, receivers that are
// vorn-host processes serving their trees, and a ReceiverCCO in this process.
//
// ReceiverCCO polls the CCO every 5000 ms, so most tests swap its watcher for
// one polling every 200 ms (the class itself is unchanged; only the pace of
// the lists that reach it). The fixed pace is exercised once, end to end with
// two vorn-host processes, in the test labelled slow.
#include "hostprocess.h"
#include "mirroringtestsupport.h"

#include "ccowatcher.h"
#include "errorhandler.h"
#include "orbhandler.h"
#include "receivercco.h"
#include "serverprocess.h"
#include "vtclientcenter.h"
#include "waituntil.h"

#include <QPointer>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>

using namespace mirroringtest;
using namespace externalCCODriver::mirroring;
using testsupport::waitUntil;

namespace
{
const QString category = QStringLiteral("CCO/LocalSystem/LocalSubSystem/CentralServices/Receiver/PulseAnalysis/");

int ccoPort()
{
    static const int port = freePort();
    return port;
}

bool registerDirect(const QString &name, const QStringList &strings)
{
    CCO::IF_CCO_c_var cco = CorbaCommon::OrbHandler::Instance().GetCCO();
    if (CORBA::is_nil(cco))
        return false;
    CCO::StringList list;
    list.length(static_cast<CORBA::ULong>(strings.size()));
    for (int i = 0; i < strings.size(); ++i)
        list[static_cast<CORBA::ULong>(i)] = CORBA::string_dup(strings.at(i).toLatin1().constData());
    try {
        cco->RegisterValues((category + name).toLatin1().constData(), list, CCO::RT_Single);
        return true;
    } catch (const CORBA::Exception &) {
        return false;
    }
}

void unregisterDirect(const QString &name)
{
    CCO::IF_CCO_c_var cco = CorbaCommon::OrbHandler::Instance().GetCCO();
    if (CORBA::is_nil(cco))
        return;
    try {
        cco->UnregisterValues((category + name).toLatin1().constData(), CCO::RT_Single);
    } catch (const CORBA::Exception &) {
        // Not registered (any more): nothing to remove.
    }
}

class TestReceiverCCO : public ReceiverCCO
{
public:
    using ReceiverCCO::ReceiverCCO;
};

class OverTheWire : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        cco = testsupport::startCcoServer({QStringLiteral("--port"), QString::number(ccoPort()),
                                           QStringLiteral("--quiet")});
        ensureOrb(0, ccoPort());
    }

    static void TearDownTestSuite() { cco.reset(); }

    void SetUp() override
    {
        ASSERT_TRUE(cco && cco->ready());
        ASSERT_TRUE(CorbaCommon::OrbHandler::Instance().ConnectToCCO(2, 500));
        VtClientCenter::Timing timing;
        timing.waitMs = 300;
        timing.retryMs = 100;
        timing.callMarginMs = 1000;
        VtClientCenter::Instance()->SetTiming(timing);
        parameters.subTreePattern = QStringLiteral("/REMOTE/RX%1");
        parameters.mirroredValues = QStringList{QStringLiteral("Frequency")};
        ErrorHandler::Instance()->SetTraceFilter(0x20);
        ErrorHandler::Instance()->SetTraceCapture([this](const QString &line) {
            std::lock_guard<std::mutex> lock(traceMutex);
            for (const char *text : {"Connect to receiver", "Disconnected from receiver"}) {
                const int at = line.indexOf(QLatin1String(text));
                if (at >= 0)
                    traces << line.mid(at);
            }
        });
    }

    void TearDown() override
    {
        delete mirrorParent.release();
        for (const QString &name : qAsConst(registered))
            unregisterDirect(name);
        ErrorHandler::Instance()->SetTraceCapture({});
        EXPECT_EQ(VtClientCenter::Instance()->ClientCount(), 0);
        EXPECT_EQ(VtClientCenter::NetworkThreadCount(), 0);
        EXPECT_FALSE(nodeExists(QStringLiteral("/REMOTE")));
    }

    // A ReceiverCCO whose lists come every 200 ms.
    ReceiverCCO *startMirror()
    {
        mirrorParent = std::make_unique<QObject>();
        auto *mirror = new TestReceiverCCO(*mirrorParent);
        QObject::connect(mirror, &ReceiverCCO::receiverConnected, mirrorParent.get(),
                         [this](const CcoReceiverProperties &p) { events << QStringLiteral("C%1:%2").arg(p.index).arg(p.ip); });
        QObject::connect(mirror, &ReceiverCCO::receiverDisconnected, mirrorParent.get(),
                         [this](int index) { events << QStringLiteral("D%1").arg(index); });
        mirror->init(parameters);
        delete mirror->findChild<externalCCODriver::CCOWatcher *>();
        auto *watcher = new externalCCODriver::CCOWatcher(200, 10, QStringLiteral("CentralServices/Receiver/PulseAnalysis"), mirror);
        QObject::connect(watcher, SIGNAL(resultListChanged(const externalCCODriver::CCOWatcher::CCOValuesList &)), mirror,
                         SLOT(onReceiverListUpdated(const externalCCODriver::CCOWatcher::CCOValuesList &)));
        watcher->init();
        return mirror;
    }

    std::unique_ptr<HostProcess> startReceiver(int port, const QString &name, const QString &frequency)
    {
        auto host = std::make_unique<HostProcess>(hostArguments(ccoPort(), port));
        if (!host->start())
            return nullptr;
        host->send(QStringLiteral("mkvalue string /DEVICES/RX/Frequency %1").arg(frequency));
        host->send(QStringLiteral("receiver %1 %2 127.0.0.1 127.0.0.1 /DEVICES/RX").arg(port).arg(name));
        if (host->waitForLine(QStringLiteral("READY"), 10000) < 0)
            return nullptr;
        if (name != QLatin1String("-"))
            registered << name;
        return host;
    }

    bool waitForEvent(const QString &event, int count = 1, int timeoutMs = 8000)
    {
        return waitUntil([&] { return events.count(event) >= count; }, timeoutMs);
    }

    QStringList traceLines()
    {
        std::lock_guard<std::mutex> lock(traceMutex);
        return traces;
    }

    static std::unique_ptr<testsupport::ServerProcess> cco;
    CcoInitParameters parameters;
    std::unique_ptr<QObject> mirrorParent;
    QStringList events;
    QStringList registered;
    std::mutex traceMutex;
    QStringList traces;
};

std::unique_ptr<testsupport::ServerProcess> OverTheWire::cco;

TEST_F(OverTheWire, RegisteredReceiverIsMirroredKeptCurrentAndFollowedThroughCrashRestartAndRemoval)
{
    const int port = freePort();
    auto receiver = startReceiver(port, QStringLiteral("RX1"), QStringLiteral("100"));
    ASSERT_TRUE(receiver);
    startMirror();

    ASSERT_TRUE(waitForEvent(QStringLiteral("C0:127.0.0.1"))) << qPrintable(receiver->diagnostics());
    EXPECT_EQ(textAt(QStringLiteral("/REMOTE/RX0/Frequency")), QStringLiteral("100"));
    receiver->send(QStringLiteral("set /DEVICES/RX/Frequency 150"));
    EXPECT_TRUE(waitUntil([] { return textAt(QStringLiteral("/REMOTE/RX0/Frequency")) == QLatin1String("150"); }, 3000));

    events.clear();
    receiver->send(QStringLiteral("set /ADMINISTRATION/Ip 10.9.9.9"));
    ASSERT_TRUE(waitForEvent(QStringLiteral("C0:10.9.9.9")));
    EXPECT_EQ(events, (QStringList{QStringLiteral("D0"), QStringLiteral("C0:10.9.9.9")}));

    events.clear();
    receiver->kill();
    ASSERT_TRUE(waitForEvent(QStringLiteral("D0")));
    // The CCO entry outlives the crash; the restarted host is found again
    // under the same number.
    receiver = startReceiver(port, QStringLiteral("RX1"), QStringLiteral("300"));
    ASSERT_TRUE(receiver);
    ASSERT_TRUE(waitForEvent(QStringLiteral("C0:127.0.0.1")));
    EXPECT_EQ(events.first(), QStringLiteral("D0"));
    EXPECT_EQ(textAt(QStringLiteral("/REMOTE/RX0/Frequency")), QStringLiteral("300"));

    events.clear();
    receiver->send(QStringLiteral("unregister RX1"));
    ASSERT_TRUE(waitForEvent(QStringLiteral("D0")));
    EXPECT_TRUE(waitUntil([] { return !nodeExists(QStringLiteral("/REMOTE")); }, 2000));
    EXPECT_EQ(traceLines(), (QStringList{QStringLiteral("Connect to receiver 127.0.0.1:%1").arg(port),
                                         QStringLiteral("Disconnected from receiver 127.0.0.1:%1").arg(port)}));
}

TEST_F(OverTheWire, ListRulesHoldForWhatTheCcoReallyReturns)
{
    const int port = freePort();
    const int moved = freePort();
    auto receiver = startReceiver(port, QStringLiteral("-"), QStringLiteral("1"));
    auto movedReceiver = startReceiver(moved, QStringLiteral("-"), QStringLiteral("2"));
    ASSERT_TRUE(receiver && movedReceiver);
    const int excluded = freePort();
    parameters.excludedReceivers = {ReceiverIdentifier(QStringLiteral("127.0.0.1"), excluded)};
    const QString host = QStringLiteral("127.0.0.1");
    const QString portText = QString::number(port);
    registered << QStringLiteral("good") << QStringLiteral("twin") << QStringLiteral("three")
               << QStringLiteral("excluded") << QStringLiteral("old") << QStringLiteral("new");
    ASSERT_TRUE(registerDirect(QStringLiteral("good"), {host, QStringLiteral("d"), QStringLiteral("i"), portText}));
    ASSERT_TRUE(registerDirect(QStringLiteral("twin"), {host, QStringLiteral("e"), QStringLiteral("j"), portText}));
    ASSERT_TRUE(registerDirect(QStringLiteral("three"), {host, QStringLiteral("d"), portText}));
    ASSERT_TRUE(registerDirect(QStringLiteral("excluded"),
                               {host, QStringLiteral("d"), QStringLiteral("i"), QString::number(excluded)}));
    startMirror();

    ASSERT_TRUE(waitForEvent(QStringLiteral("C0:127.0.0.1")));
    EXPECT_EQ(traceLines(), QStringList{QStringLiteral("Connect to receiver 127.0.0.1:%1").arg(port)});
    EXPECT_EQ(VtClientCenter::Instance()->ClientCount(), 1);

    // A receiver that moves to another port: the new one is connected before
    // the old one goes, whichever lists the watcher happens to see between.
    ASSERT_TRUE(registerDirect(QStringLiteral("old"), {host, QStringLiteral("d"), QStringLiteral("i"), QString::number(moved)}));
    ASSERT_TRUE(waitForEvent(QStringLiteral("C1:127.0.0.1")));
    const int other = freePort();
    auto otherReceiver = startReceiver(other, QStringLiteral("-"), QStringLiteral("3"));
    ASSERT_TRUE(otherReceiver);
    events.clear();
    ASSERT_TRUE(registerDirect(QStringLiteral("new"), {host, QStringLiteral("d"), QStringLiteral("i"), QString::number(other)}));
    unregisterDirect(QStringLiteral("old"));
    ASSERT_TRUE(waitForEvent(QStringLiteral("D1")));
    ASSERT_TRUE(waitForEvent(QStringLiteral("C2:127.0.0.1")));
    const QStringList lines = traceLines();
    EXPECT_LT(lines.indexOf(QStringLiteral("Connect to receiver 127.0.0.1:%1").arg(other)),
              lines.indexOf(QStringLiteral("Disconnected from receiver 127.0.0.1:%1").arg(moved)));
    EXPECT_EQ(lines.filter(QString::number(excluded)), QStringList());
}

TEST_F(OverTheWire, DestroyingTheMirrorWithLiveReceiversLeavesNoClientThreadOrValue)
{
    auto first = startReceiver(freePort(), QStringLiteral("RXA"), QStringLiteral("1"));
    auto second = startReceiver(freePort(), QStringLiteral("RXB"), QStringLiteral("2"));
    ASSERT_TRUE(first && second);
    QPointer<ReceiverCCO> mirror = startMirror();
    ASSERT_TRUE(waitUntil([&] { return events.filter(QStringLiteral("C")).size() >= 2; }, 8000));
    EXPECT_EQ(VtClientCenter::NetworkThreadCount(), 2);

    events.clear();
    delete mirror.data();
    EXPECT_TRUE(events.isEmpty());
    EXPECT_EQ(VtClientCenter::Instance()->ClientCount(), 0);
    EXPECT_EQ(VtClientCenter::NetworkThreadCount(), 0);
    EXPECT_FALSE(nodeExists(QStringLiteral("/REMOTE")));
}

// Two vorn-host processes, one a receiver and one mirroring, find each other
// through the cco-server at the fixed 5000 ms pace.
TEST_F(OverTheWire, SlowTwoHostsShowEachOtherAtTheFixedPollInterval)
{
    const int port = freePort();
    auto receiver = startReceiver(port, QStringLiteral("RXS"), QStringLiteral("77"));
    ASSERT_TRUE(receiver);
    HostProcess mirror(hostArguments(ccoPort(), 0));
    ASSERT_TRUE(mirror.start());
    mirror.send(QStringLiteral("mirror /RECEIVERS/RX%1 Frequency"));
    const int line = mirror.waitForLine(QStringLiteral("MIRROR connected"), 30000);
    ASSERT_GE(line, 0) << qPrintable(mirror.diagnostics());
    EXPECT_EQ(mirror.lines().at(line),
              QStringLiteral("MIRROR connected index=0 ip=127.0.0.1 values=Frequency=/RECEIVERS/RX0/Frequency"));
    mirror.send(QStringLiteral("waitfor /RECEIVERS/RX0/Frequency 77"));

    receiver->send(QStringLiteral("unregister RXS"));
    EXPECT_GE(mirror.waitForLine(QStringLiteral("MIRROR disconnected index=0"), 12000, line), 0)
        << qPrintable(mirror.diagnostics());
}
}
