// Receiver mirroring: the remote value tree, the connectors and ReceiverCCO.
// The CCO is a cco-server process; receivers are vorn-host processes or this
// process's own tree, served on several loopback ports (each port is another
// receiver identifier for the same tree).
#include "orbhandler.h"
#include "orbhandlerhost.h"
#include "receivercco.h"
#include "receiverconnector.h"
#include "remoteconnector.h"
#include "serverprocess.h"
#include "systemsupport.h"
#include "tracesettings.h"
#include "tree.h"
#include "treehost.h"
#include "vtclientcenter.h"
#include "vttreeserver.h"
#include "waituntil.h"

#include <valuetree.hh>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace externalCCODriver::mirroring;
using testsupport::freeLoopbackPort;
using testsupport::ServerProcess;
using testsupport::waitUntil;

namespace
{
const QString localHost = QStringLiteral("127.0.0.1");

QString textAt(const QString &path)
{
    values::ValueBase *value = values::Tree::Instance()->FindValue(path);
    return value ? value->GetStringValue() : "<none>";
}

bool nodeExists(const QString &path)
{
    return values::Tree::Instance()->FindNode(path) != nullptr;
}

void addText(const QString &path, const QString &text)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    auto value = std::make_unique<values::Value<QString>>();
    value->SetName(path.mid(slash + 1), nullptr);
    value->SetValue(text, nullptr);
    ASSERT_TRUE(values::Tree::Instance()->AddValue(path.left(slash + 1), value.get()));
    (void)value.release();
}

// The tree server of the receiver on a loopback port, called directly as a peer calls it.
VornValueTree::TreeServer_ptr treeServer(int port)
{
    CORBA::Object_var object = CorbaCommon::OrbHandlerHost::Orb()->string_to_object(
        VtClientCenter::ServerAddress(localHost, port).toLatin1().constData());
    return VornValueTree::TreeServer::_narrow(object);
}

VornValueTree::PathList pathList(const QStringList &paths)
{
    VornValueTree::PathList list;
    list.length(CORBA::ULong(paths.size()));
    for (int i = 0; i < paths.size(); ++i)
        list[CORBA::ULong(i)] = CORBA::string_dup(paths.at(i).toUtf8().constData());
    return list;
}

int ccoPort()
{
    static const int port = freeLoopbackPort();
    return port;
}

// A vorn-host knowing the CCO.
std::unique_ptr<ServerProcess> startHost(const QStringList &script, const QStringList &options = {})
{
    return systemtest::startVornHost(
        QStringList {"--no-plugin", "--cco", QStringLiteral("127.0.0.1:%1").arg(ccoPort())} + options, script);
}

std::unique_ptr<ServerProcess> startReceiver(int port, const QString &name, const QString &frequency)
{
    return systemtest::startReceiverHost(ccoPort(), port, name, frequency);
}

// Records what a value-tree client reports: the codes, whether any came on
// another thread or said "connected" while it was not, and the mirrored
// frequency at each 15 or 16.
class ClientRecorder : public IObserver
{
public:
    explicit ClientRecorder(IVtClient *vtClient)
        : client(vtClient)
    {
        client->AddObserver(this);
    }
    ~ClientRecorder() override
    {
        if (client)
            client->DeleteObserver(this);
    }
    int count(unsigned int code) const { return int(std::count(codes.begin(), codes.end(), code)); }

    std::vector<unsigned int> codes;
    QStringList frequencyAtConnect;
    int strays = 0;

protected:
    void Notify(Observable *, unsigned int code) override
    {
        codes.push_back(code);
        strays += QThread::currentThread() != owner ? 1 : 0;
        if (code == 15 || code == 16) {
            strays += client->IsConnected() ? 0 : 1;
            frequencyAtConnect << textAt("/LOCAL/RX/Freq");
        }
        if (code == 18)
            client = nullptr;
    }

private:
    IVtClient *client;
    QThread *owner = QThread::currentThread();
};

class TestReceiverCCO : public ReceiverCCO
{
public:
    using ReceiverCCO::checkReceiverList;
    using ReceiverCCO::onReceiverListUpdated;
    using ReceiverCCO::ReceiverCCO;
};

class Mirroring : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        cco = testsupport::startCcoServer({"--port", QString::number(ccoPort())});
        // Several clients of this process poll its own tree server at once;
        // each held poll takes a connection, and omniORB opens only 5 per
        // server by default.
        QStringList args {"-ORBmaxGIOPConnectionPerServer", "32", "-ORBInitRef",
            QStringLiteral("CCO=corbaloc::%1:%2/CCO").arg(localHost).arg(ccoPort())};
        for (int i = 0; i < 4; ++i) {
            ownPorts << freeLoopbackPort();
            args << "-ORBendPoint" << QStringLiteral("giop:tcp:%1:%2").arg(localHost).arg(ownPorts.last());
        }
        CorbaCommon::OrbHandlerHost::Init(args);
        values::TreeHost::Create();
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
        parameters.subTreePattern = "/REMOTE/RX%1";
        parameters.mirroredValues = QStringList {"Frequency"};
        TraceSettings::SetTraceFilter(0x20);
        TraceSettings::SetTraceCapture([this](const QString &line) {
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
        TraceSettings::SetTraceCapture({});
        ownServer.reset();
        EXPECT_EQ(VtClientCenter::Instance()->ClientCount(), 0);
        // A poll under way at a hung server ends on its own, within its hold
        // and the call margin.
        EXPECT_TRUE(waitUntil([] { return VtClientCenter::NetworkThreadCount() == 0; }, 3000));
        EXPECT_FALSE(nodeExists("/REMOTE"));
        for (const char *node : {"/REMOTE", "/ADMINISTRATION", "/DEVICES"})
            values::TreeHost::RemoveNode(QString::fromLatin1(node));
    }

    // This process's tree, served as a receiver serves it.
    void serveOwnTree()
    {
        ownServer = std::make_unique<VtTreeServer>();
        ASSERT_TRUE(ownServer->start());
        addText("/ADMINISTRATION/DRIVERVTPATH", "/DEVICES/RX");
        addText("/ADMINISTRATION/Ip", "10.0.0.1");
        addText("/DEVICES/RX/Frequency", "100");
    }

    static ReceiverIdentifier own(int n) { return ReceiverIdentifier(localHost, ownPorts.at(n)); }

    // "C<index>:<ip>" for receiverConnected, "D<index>" for receiverDisconnected.
    template <typename Emitter> void record(Emitter *emitter)
    {
        QObject::connect(emitter, &Emitter::receiverConnected, &context, [this](const CcoReceiverProperties &p) {
            events << QStringLiteral("C%1:%2").arg(p.index).arg(p.ip);
            last = p;
        });
        QObject::connect(emitter, &Emitter::receiverDisconnected, &context,
            [this](int index) { events << QStringLiteral("D%1").arg(index); });
    }

    bool waitForEvent(const QString &event, int count = 1)
    {
        return waitUntil([&] { return events.count(event) >= count; }, 8000);
    }

    // A recorded ReceiverCCO that gets a list from the CCO every `pollMs`, or
    // only what the test hands it for 0. (Its own pace of 5000 ms is left to
    // the slow test.)
    TestReceiverCCO *startMirror(QObject &parent, int pollMs)
    {
        auto *mirror = new TestReceiverCCO(parent);
        record(mirror);
        mirror->init(parameters);
        delete mirror->findChild<externalCCODriver::CCOWatcher *>();
        if (pollMs > 0) {
            auto *watcher
                = new externalCCODriver::CCOWatcher(pollMs, 10, "CentralServices/Receiver/PulseAnalysis", mirror);
            QObject::connect(watcher, SIGNAL(resultListChanged(const externalCCODriver::CCOWatcher::CCOValuesList &)),
                mirror, SLOT(onReceiverListUpdated(const externalCCODriver::CCOWatcher::CCOValuesList &)));
            watcher->init();
        }
        return mirror;
    }

    QStringList takeTraces()
    {
        std::lock_guard<std::mutex> lock(traceMutex);
        QStringList result;
        result.swap(traces);
        return result;
    }

    static std::unique_ptr<ServerProcess> cco;
    static QList<int> ownPorts;
    std::unique_ptr<VtTreeServer> ownServer;
    CcoInitParameters parameters;
    QObject context;
    QStringList events;
    CcoReceiverProperties last;
    std::mutex traceMutex;
    QStringList traces;
};

std::unique_ptr<ServerProcess> Mirroring::cco;
QList<int> Mirroring::ownPorts;

TEST_F(Mirroring, RemoteTreeFollowsAndReconnectsReportingInOrderOnTheOwnersThread)
{
    const int port = freeLoopbackPort();
    auto host = startReceiver(port, "-", "100");
    ASSERT_TRUE(host);
    IVtClient *client = VtClientCenter::Instance()->CreateVtClient("127.0.0.1", port);
    ASSERT_NE(client, nullptr);
    ClientRecorder recorder(client);
    ASSERT_TRUE(client->AddValueLink("/LOCAL/RX/Ip,/ADMINISTRATION/Ip", ""));
    ASSERT_TRUE(client->AddValueLink("/LOCAL/RX/Freq,DEVICES/RX/Frequency", ""));
    ASSERT_TRUE(waitUntil([&] { return recorder.count(16) == 1; }));
    // The values are in place before the connection is reported.
    EXPECT_EQ(recorder.frequencyAtConnect.value(0), "100");

    host->command("set /DEVICES/RX/Frequency 200", 0);
    EXPECT_TRUE(waitUntil([] { return textAt("/LOCAL/RX/Freq") == QLatin1String("200"); }, 3000));
    // A value removed on the receiver keeps its last text here (the change
    // after it shows the removal has arrived), and is followed again once it
    // is back.
    host->command("rm /DEVICES/RX/Frequency", 0);
    host->command("set /ADMINISTRATION/Ip 10.0.0.2", 0);
    ASSERT_TRUE(waitUntil([] { return textAt("/LOCAL/RX/Ip") == QLatin1String("10.0.0.2"); }, 3000));
    EXPECT_EQ(textAt("/LOCAL/RX/Freq"), "200");
    host->command("mkvalue string /DEVICES/RX/Frequency 250", 0);
    EXPECT_TRUE(waitUntil([] { return textAt("/LOCAL/RX/Freq") == QLatin1String("250"); }, 3000));

    host->kill();
    ASSERT_TRUE(waitUntil([&] { return recorder.count(17) == 1; }, 3000));
    EXPECT_FALSE(client->IsConnected());
    EXPECT_EQ(textAt("/LOCAL/RX/Freq"), "250");

    host = startReceiver(port, "-", "300");
    ASSERT_TRUE(host);
    ASSERT_TRUE(waitUntil([&] { return recorder.count(16) == 2; }));
    EXPECT_EQ(recorder.frequencyAtConnect.value(2), "300");

    addText("/LOCAL/Kept", "k");
    EXPECT_TRUE(VtClientCenter::Instance()->DestroyVtClient(client));
    EXPECT_EQ(recorder.codes, (std::vector<unsigned int> {15, 16, 17, 16, 18}));
    EXPECT_EQ(recorder.strays, 0);
    // What the client created goes with it, nodes included, but for a node
    // that holds a value of someone else.
    EXPECT_FALSE(nodeExists("/LOCAL/RX"));
    EXPECT_EQ(textAt("/LOCAL/Kept"), "k");
    values::TreeHost::RemoveNode("/LOCAL");
}

TEST_F(Mirroring, ConnectorIndexesCountUpReuseOnlyTheTopOneAndOnlyConnectedReceiversAreReportedGone)
{
    serveOwnTree();
    QObject parent;
    auto *connector = new ReceiverConnector(&parent);
    connector->setInitParameters(parameters);
    record(connector);
    auto treePaths = [&] {
        QStringList paths;
        for (RemoteConnector *remote : parent.findChildren<RemoteConnector *>())
            paths << remote->treePath();
        paths.sort();
        return paths.join(QLatin1Char(' '));
    };

    connector->connectRemote(own(0));
    connector->connectRemote(own(1));
    connector->connectRemote(own(2));
    connector->connectRemote(own(1));
    connector->connectRemote(ReceiverIdentifier(QString(), ownPorts.at(3)));
    EXPECT_EQ(treePaths(), "/REMOTE/RX0 /REMOTE/RX1 /REMOTE/RX2");

    connector->disconnectRemote(ReceiverIdentifier(localHost, 1));
    connector->disconnectRemote(own(2));
    connector->connectRemote(own(3));
    EXPECT_EQ(treePaths(), "/REMOTE/RX0 /REMOTE/RX1 /REMOTE/RX2");

    connector->disconnectRemote(own(0));
    connector->connectRemote(ReceiverIdentifier("localhost", ownPorts.at(0)));
    EXPECT_EQ(treePaths(), "/REMOTE/RX1 /REMOTE/RX2 /REMOTE/RX3");
    // The two dropped ones had not connected yet.
    EXPECT_TRUE(events.isEmpty());

    ASSERT_TRUE(waitUntil([&] { return events.size() == 3; }));
    events.sort();
    EXPECT_EQ(events, (QStringList {"C1:10.0.0.1", "C2:10.0.0.1", "C3:10.0.0.1"}));
    EXPECT_EQ(last.valuePaths,
        (QMap<QString, QString> {{"Frequency", QStringLiteral("/REMOTE/RX%1/Frequency").arg(last.index)}}));
    EXPECT_EQ(textAt("/REMOTE/RX3/Frequency"), "100");
    EXPECT_EQ(textAt("/REMOTE/RX3/ADMINISTRATION/DRIVERVTPATH"), "/DEVICES/RX");

    events.clear();
    connector->disconnectRemote(own(3));
    EXPECT_EQ(events, QStringList {"D2"});
    EXPECT_FALSE(nodeExists("/REMOTE/RX2"));
}

TEST_F(Mirroring, ReceiverListTakesFourStringEntriesWithAPortOnceEachSkipsExcludedAndConnectsBeforeItDisconnects)
{
    parameters.excludedReceivers = {ReceiverIdentifier(localHost, 4712)};
    QObject parent;
    TestReceiverCCO *mirror = startMirror(parent, 0);
    const QString h = localHost, d = "dev", i = "info", p = "4711";
    mirror->onReceiverListUpdated({
        {"zero", {h, d, i, "0"}},
        {"text", {h, d, i, "x"}},
        {"three", {h, d, p}},
        {"five", {h, d, i, "4714", p}},
        {"good", {h, d, i, p}},
        {"twin", {h, "other", i, p}},
        {"excluded", {h, d, i, "4712"}},
        {"upper", {"LOCALHOST", d, i, p}},
        {"lower", {"localhost", d, i, p}},
    });
    // Hosts compare as exact strings.
    EXPECT_EQ(takeTraces(),
        (QStringList {"Connect to receiver 127.0.0.1:4711", "Connect to receiver LOCALHOST:4711",
            "Connect to receiver localhost:4711"}));
    EXPECT_EQ(VtClientCenter::Instance()->ClientCount(), 3);

    // A receiver that moved to another port: the new one comes before the old one goes.
    mirror->checkReceiverList(
        {ReceiverIdentifier("LOCALHOST", 4711), ReceiverIdentifier("localhost", 4711), ReceiverIdentifier(h, 4713)});
    EXPECT_EQ(takeTraces(),
        (QStringList {"Connect to receiver 127.0.0.1:4713", "Disconnected from receiver 127.0.0.1:4711"}));
    EXPECT_EQ(VtClientCenter::Instance()->ClientCount(), 3);
}

// A slot of receiverDisconnected may run an event loop in which the watcher's next list arrives.
// The receiver being disconnected is still current for that nested update, and goes from the
// current receivers only once disconnected; a receiver is never current twice. A module may also
// tear the whole mirror down from such a slot, when the report comes from one of several
// connectors an update deletes.
TEST_F(Mirroring, SlotsOfReceiverDisconnectedMayRunANestedUpdateOrDeleteTheMirror)
{
    serveOwnTree();
    auto parent = std::make_unique<QObject>();
    TestReceiverCCO *mirror = startMirror(*parent, 0);
    mirror->checkReceiverList({own(0), own(1)});
    ASSERT_TRUE(waitForEvent("C0:10.0.0.1") && waitForEvent("C1:10.0.0.1"));
    takeTraces();

    bool nested = false;
    QObject::connect(mirror, &ReceiverCCO::receiverDisconnected, &context, [&] {
        if (std::exchange(nested, true))
            return;
        QEventLoop loop;
        QMetaObject::invokeMethod(
            &context,
            [&] {
                mirror->checkReceiverList({own(0)});
                loop.quit();
            },
            Qt::QueuedConnection);
        loop.exec();
    });
    mirror->checkReceiverList({});
    ASSERT_TRUE(nested);
    const auto trace = [](const char *what, int n) {
        return QStringLiteral("%1 receiver %2:%3").arg(QLatin1String(what), localHost).arg(ownPorts.at(n));
    };
    EXPECT_EQ(takeTraces(),
        (QStringList {trace("Disconnected from", 0), trace("Disconnected from", 1), trace("Disconnected from", 1)}));

    // Nothing is current any more: the receiver comes back as new, and goes once.
    mirror->checkReceiverList({own(0)});
    mirror->checkReceiverList({});
    EXPECT_EQ(takeTraces(), (QStringList {trace("Connect to", 0), trace("Disconnected from", 0)}));

    QObject::connect(mirror, &ReceiverCCO::receiverDisconnected, &context, [&parent] { parent.reset(); });
    events.clear();
    mirror->checkReceiverList({own(0), own(1)});
    ASSERT_TRUE(waitForEvent("C0:10.0.0.1") && waitForEvent("C1:10.0.0.1"));
    ASSERT_NE(parent, nullptr) << "a receiver was reported gone while it connected";
    events.clear();
    mirror->checkReceiverList({});
    EXPECT_EQ(parent, nullptr);
    EXPECT_EQ(events, QStringList {"D0"});
}

TEST_F(Mirroring, RegisteredReceiversAreMirroredAndFollowedThroughChangesCrashRestartRemovalAndTeardown)
{
    const int port = freeLoopbackPort();
    auto receiver = startReceiver(port, "RX1", "100");
    ASSERT_TRUE(receiver);
    QObject parent;
    startMirror(parent, 200);
    ASSERT_TRUE(waitForEvent("C0:127.0.0.1"));
    EXPECT_EQ(textAt("/REMOTE/RX0/Frequency"), "100");
    const int secondPort = freeLoopbackPort();
    auto second = startReceiver(secondPort, "RX2", "2");
    ASSERT_TRUE(second);
    ASSERT_TRUE(waitForEvent("C1:127.0.0.1"));

    receiver->command("set /DEVICES/RX/Frequency 150", 0);
    EXPECT_TRUE(waitUntil([] { return textAt("/REMOTE/RX0/Frequency") == QLatin1String("150"); }, 3000));
    events.clear();
    receiver->command("set /ADMINISTRATION/Ip 10.9.9.9", 0);
    ASSERT_TRUE(waitForEvent("C0:10.9.9.9"));
    EXPECT_EQ(events, (QStringList {"D0", "C0:10.9.9.9"}));

    // The CCO entry outlives the crash: the restarted host is the same
    // receiver under the same number. (It does not register again: a
    // registration replaces the entry, and a list taken in between would
    // rightly show the receiver gone.)
    events.clear();
    receiver->kill();
    ASSERT_TRUE(waitForEvent("D0"));
    receiver = startReceiver(port, "-", "300");
    ASSERT_TRUE(receiver);
    ASSERT_TRUE(waitForEvent("C0:127.0.0.1"));
    EXPECT_EQ(events.first(), "D0");
    EXPECT_EQ(textAt("/REMOTE/RX0/Frequency"), "300");

    events.clear();
    receiver->command("unregister RX1", 0);
    ASSERT_TRUE(waitForEvent("D0"));
    EXPECT_TRUE(waitUntil([] { return !nodeExists("/REMOTE/RX0"); }, 2000));
    EXPECT_EQ(takeTraces(),
        (QStringList {QStringLiteral("Connect to receiver 127.0.0.1:%1").arg(port),
            QStringLiteral("Connect to receiver 127.0.0.1:%1").arg(secondPort),
            QStringLiteral("Disconnected from receiver 127.0.0.1:%1").arg(port)}));

    // Destroyed with a live receiver: no report, and no client, thread or
    // value left (checked on tear-down).
    events.clear();
    EXPECT_TRUE(waitUntil([] { return VtClientCenter::NetworkThreadCount() == 1; }, 3000));
    delete parent.findChild<ReceiverCCO *>();
    EXPECT_TRUE(events.isEmpty());

    // The CCO as this test found it, for the next one.
    const int from = cco->lineCount();
    second->command("unregister RX2", 0);
    EXPECT_GE(cco->waitForLine("CALL UnregisterValues", 5000, from), 0);
}

// A TCP port on loopback that accepts connections and never answers, like a
// workstation whose host process hangs.
class HungServer
{
public:
    explicit HungServer(int fixedPort = 0)
    {
        std::tie(listener, port) = testsupport::listenOnLoopback(16, fixedPort);
        ::fcntl(listener, F_SETFL, O_NONBLOCK);
    }
    ~HungServer()
    {
        for (int fd : accepted)
            ::close(fd);
        ::close(listener);
    }
    // How many clients have connected (and are left waiting).
    int takeClient()
    {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd >= 0)
            accepted.push_back(fd);
        return int(accepted.size());
    }
    int port = 0;

private:
    int listener = -1;
    std::vector<int> accepted;
};

// Hundreds of receivers listed and dropped: connecting and tearing down do
// work per receiver that does not grow with their number, and a hung
// receiver's client is let go without waiting for its server.
TEST_F(Mirroring, HundredsOfReceiversComeAndGoQuicklyAndAHungOneIsDroppedWithoutWaiting)
{
    const VtClientCenter::Timing timing = VtClientCenter::Instance()->GetTiming();
    HungServer hung;
    ASSERT_NE(hung.port, 0);
    QObject parent;
    TestReceiverCCO *mirror = startMirror(parent, 0);
    // Nobody listens on 127.1.x.y:port (the hung port is bound to 127.0.0.1
    // only): those clients are refused at once and keep retrying.
    QList<ReceiverIdentifier> listed;
    for (int i = 0; i < 599; ++i)
        listed << ReceiverIdentifier(QStringLiteral("127.1.%1.%2").arg(i / 200).arg(i % 200 + 1), hung.port);
    const ReceiverIdentifier hungOne(localHost, hung.port);

    mirror->checkReceiverList(listed + QList<ReceiverIdentifier> {hungOne});
    EXPECT_EQ(VtClientCenter::Instance()->ClientCount(), 600);
    EXPECT_LE(VtClientCenter::NetworkThreadCount(), 8);

    ASSERT_TRUE(waitUntil([&] { return hung.takeClient(); }, 5000));
    QElapsedTimer clock;
    clock.start();
    mirror->checkReceiverList(listed);
    EXPECT_LT(clock.elapsed(), timing.callMarginMs / 2) << "dropping a receiver whose server hangs";

    // Undoing what each client made takes some ms per hundred receivers
    // here, sanitizers included; a scan over every client's nodes per
    // receiver took seconds.
    clock.restart();
    mirror->checkReceiverList({});
    EXPECT_LT(clock.elapsed(), 1000) << "dropping 599 receivers";
    EXPECT_EQ(VtClientCenter::Instance()->ClientCount(), 0);
    EXPECT_FALSE(nodeExists("/REMOTE"));
}

// A served tree is read-only to strangers unless its host allows writes, and
// then only below its device path and up to a size; what strangers ask it to
// watch is capped and leaves no work behind once they are quiet.
TEST_F(Mirroring, ServedTreeRefusesStrangersWritesAndKeepsNoWorkForTheirAbsentPaths)
{
    auto refused = [](const std::function<void()> &call) {
        try {
            call();
        } catch (const VornValueTree::Refused &) {
            return true;
        } catch (const CORBA::Exception &) {
        }
        return false;
    };

    // An IPv6 receiver's address is one the ORB can read.
    EXPECT_NO_THROW(CORBA::Object_var(CorbaCommon::OrbHandlerHost::Orb()->string_to_object(
        VtClientCenter::ServerAddress("::1", 4711).toLatin1().constData())));

    // Off by default: also in this process's own server.
    serveOwnTree();
    VornValueTree::TreeServer_var own = treeServer(ownPorts.at(0));
    EXPECT_TRUE(refused([&] { own->SetValue("/DEVICES/RX/Frequency", "1"); }));
    EXPECT_EQ(textAt("/DEVICES/RX/Frequency"), "100");
    const VornValueTree::PathList paths = pathList({"/NOWHERE/0", "/NOWHERE/1", "/NOWHERE/2"});
    // The server reads the tree on this thread, so the call goes from another.
    std::atomic<bool> answered {false};
    std::thread poll([&] {
        try {
            VornValueTree::Changes_var answer = own->WaitChanges(0, 0, paths, VornValueTree::PathList(), 0, 77);
            answered = answer->entries.length() == 3;
        } catch (const CORBA::Exception &) {
        }
    });
    EXPECT_TRUE(waitUntil([&] { return answered.load(); }, 5000));
    poll.join();
    EXPECT_EQ(ownServer->peerCount(), 1);
    EXPECT_EQ(ownServer->watchedCount(), 3);
    ownServer->forgetQuietPeers(0);
    EXPECT_EQ(ownServer->peerCount(), 0);
    EXPECT_EQ(ownServer->watchedCount(), 0);

    // A host that allows writes, started without -ORBendPoint: "receiver"
    // makes it listen on the port it names.
    const int port = freeLoopbackPort();
    auto host = startHost({"mkvalue string /DEVICES/RX/Frequency 5",
                              QStringLiteral("receiver %1 - %2 %2 /DEVICES/RX").arg(port).arg(localHost)},
        {"--allow-peer-writes", "--peer-write-limit", "8"});
    ASSERT_TRUE(host);
    EXPECT_EQ(host->port(), port);
    VornValueTree::TreeServer_var remote = treeServer(port);
    EXPECT_TRUE(remote->SetValue("/DEVICES/RX/Frequency", "12345678"));
    EXPECT_TRUE(refused([&] { remote->SetValue("/DEVICES/RX/Frequency", "123456789"); }));
    EXPECT_TRUE(refused([&] { remote->SetValue("/ADMINISTRATION/Ip", "10.6.6.6"); }));
    EXPECT_TRUE(refused([&] { remote->SetValue("/DEVICES/RX2/Frequency", "1"); }));
    EXPECT_TRUE(refused([&] { remote->SetValue("/DEVICES/RX", "1"); }));
    CORBA::String_var frequency = remote->GetValue("/DEVICES/RX/Frequency");
    EXPECT_STREQ(frequency.in(), "12345678");

    // A flood of absent paths from many peers, until the host refuses more.
    int accepted = 0;
    bool refusedAny = false;
    for (quint64 peer = 1; peer <= 400; ++peer) {
        QStringList flood;
        for (int i = 0; i < VtTreeServer::MaxPathsPerRequest; ++i)
            flood << QStringLiteral("/ABSENT/%1/%2").arg(peer).arg(i);
        const bool refusedNow = refused([&] {
            VornValueTree::Changes_var ignored
                = remote->WaitChanges(0, 0, pathList(flood), VornValueTree::PathList(), 0, peer);
            ++accepted;
        });
        refusedAny = refusedAny || refusedNow;
    }
    EXPECT_TRUE(refusedAny);
    EXPECT_LE(accepted * VtTreeServer::MaxPathsPerRequest, VtTreeServer::MaxWatchedPaths);
    // Past the cap of peers, a peer is refused however little it asks for.
    const VornValueTree::PathList one = pathList({"/ABSENT/1/0"});
    for (quint64 peer = 1001; peer <= 1001 + VtTreeServer::MaxPeers; ++peer) {
        refused([&] {
            VornValueTree::Changes_var ignored = remote->WaitChanges(0, 0, one, VornValueTree::PathList(), 0, peer);
            ++accepted;
        });
    }
    EXPECT_EQ(accepted, VtTreeServer::MaxPeers);
    QStringList tooMany;
    while (tooMany.size() <= VtTreeServer::MaxPathsPerRequest)
        tooMany << "/X";
    EXPECT_TRUE(refused([&] { remote->WaitChanges(0, 0, pathList(tooMany), VornValueTree::PathList(), 0, 9999); }));

    // The host, idle now, spends (next to) nothing on what the flood asked.
    auto cpuTicks = [&] {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(host->pid()));
        if (!stat.open(QIODevice::ReadOnly))
            return -1L;
        const QList<QByteArray> fields = stat.readAll().split(')').value(1).split(' ');
        return fields.value(12).toLong() + fields.value(13).toLong();
    };
    const long before = cpuTicks();
    QElapsedTimer idle;
    idle.start();
    // The window itself is what is measured: CPU time over 1.5 s of idling.
    waitUntil([&] { return idle.elapsed() >= 1500; }, 3000, 50);
    const long ticks = cpuTicks() - before;
    const long perSecond = sysconf(_SC_CLK_TCK);
    EXPECT_LE(ticks * 1000 / perSecond, 1500 / 20) << "more than 5 % of a core for an idle host";
}

// Thread creation refused (too many processes for the user): the clients
// stay disconnected, are traced, and the process carries on. Runs in a child
// process of this program, which lowers its own limit.
TEST(MirroringLimits, ClientsWithoutANetworkThreadStayDisconnectedAndNothingCrashes)
{
    if (qEnvironmentVariableIsSet("MIRRORING_THREAD_LIMIT_CHILD")) {
        values::TreeHost::Create();
        TraceSettings::SetTraceFilter(0x20);
        QStringList traces;
        TraceSettings::SetTraceCapture([&](const QString &line) { traces << line; });
        // Root is exempt from the process limit: a child that is root gives
        // up its rights first.
        if (::geteuid() == 0) {
            ASSERT_EQ(::setgid(65534), 0);
            ASSERT_EQ(::setuid(65534), 0);
        }
        const rlimit none {1, 1};
        ASSERT_EQ(::setrlimit(RLIMIT_NPROC, &none), 0);
        QObject parent;
        auto *connector = new ReceiverConnector(&parent);
        CcoInitParameters parameters;
        parameters.subTreePattern = "/LIMITED/RX%1";
        connector->setInitParameters(parameters);
        int reports = 0;
        QObject::connect(connector, &ReceiverConnector::receiverConnected, [&] { ++reports; });
        for (int i = 0; i < 50; ++i)
            connector->connectRemote(ReceiverIdentifier(localHost, 1000 + i));
        EXPECT_EQ(VtClientCenter::NetworkThreadCount(), 0);
        EXPECT_EQ(VtClientCenter::Instance()->ClientCount(), 50);
        EXPECT_EQ(traces.filter("no network thread could be started").size(), 50);
        delete connector;
        EXPECT_EQ(reports, 0);
        EXPECT_EQ(VtClientCenter::Instance()->ClientCount(), 0);
        TraceSettings::SetTraceCapture({});
        return;
    }
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("MIRRORING_THREAD_LIMIT_CHILD", "1");
    // The leak checker needs a thread of its own at exit, which the child
    // cannot have.
    environment.insert("ASAN_OPTIONS", environment.value("ASAN_OPTIONS") + ":detect_leaks=0");
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
        {"--gtest_filter=MirroringLimits.ClientsWithoutANetworkThreadStayDisconnectedAndNothingCrashes"});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QString output = QString::fromLocal8Bit(child.readAll());
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << qPrintable(output);
    EXPECT_EQ(child.exitCode(), 0) << qPrintable(output);
    EXPECT_TRUE(output.contains(QLatin1String("[  PASSED  ] 1 test"))) << qPrintable(output);
}

// Two vorn-host processes, a receiver and a mirroring one, find each other
// through the cco-server at the fixed 5000 ms pace.
TEST_F(Mirroring, SlowTwoHostsShowEachOtherAtTheFixedPollInterval)
{
    auto receiver = startReceiver(freeLoopbackPort(), "RXS", "77");
    ASSERT_TRUE(receiver);
    auto mirror = startHost({"mirror /RECEIVERS/RX%1 Frequency"});
    ASSERT_TRUE(mirror);
    const int line = mirror->waitForLine("MIRROR connected", 30000);
    ASSERT_GE(line, 0);
    EXPECT_EQ(
        mirror->lines().at(line), "MIRROR connected index=0 ip=127.0.0.1 values=Frequency=/RECEIVERS/RX0/Frequency");
    mirror->command("waitfor /RECEIVERS/RX0/Frequency 77", 0);
    mirror->command("echo MIRRORED", 0);
    EXPECT_GE(mirror->waitForLine("MIRRORED", 10000, line), 0);
    EXPECT_EQ(mirror->lines().mid(line).filter("error:"), QStringList());

    receiver->command("unregister RXS", 0);
    EXPECT_GE(mirror->waitForLine("MIRROR disconnected index=0", 12000, line), 0);
}

class MirroringPool : public Mirroring
{
};

// Eight network threads serve all the clients of a process. A client that
// has one to itself has its poll held at the server and learns of a change
// at once; past eight clients polls answer at once, and clients whose server
// hangs may take only part of the threads, so that a healthy receiver beside
// many hung ones keeps its updates.
TEST_F(MirroringPool, ALoneClientsPollIsHeldAndHungReceiversLeaveAHealthyOneItsUpdates)
{
    const int port = freeLoopbackPort();
    auto host = startReceiver(port, "-", "0");
    ASSERT_TRUE(host);
    int sent = 0;
    auto arrives = [&](int withinMs) {
        host->command(QStringLiteral("set /DEVICES/RX/Frequency %1").arg(++sent), 0);
        return waitUntil([&] { return textAt("/LOCAL/RX/Freq") == QString::number(sent); }, withinMs);
    };
    auto follow = [&] {
        IVtClient *client = VtClientCenter::Instance()->CreateVtClient("127.0.0.1", port);
        EXPECT_TRUE(client->AddValueLink("/LOCAL/RX/Freq,/DEVICES/RX/Frequency", ""));
        EXPECT_TRUE(waitUntil([&] { return client->IsConnected(); }));
        return client;
    };
    const VtClientCenter::Timing usual = VtClientCenter::Instance()->GetTiming();
    VtClientCenter::Timing slow = usual;
    slow.waitMs = 4000;
    VtClientCenter::Instance()->SetTiming(slow);
    IVtClient *lone = follow();
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(arrives(slow.waitMs / 4)) << "change " << i << " waited for the next poll";
    VtClientCenter::Instance()->DestroyVtClient(lone);

    VtClientCenter::Instance()->SetTiming(usual);
    IVtClient *healthy = follow();
    HungServer hung;
    ASSERT_NE(hung.port, 0);
    const int hungCount = 32;
    std::vector<IVtClient *> hungClients;
    for (int i = 0; i < hungCount; ++i)
        hungClients.push_back(VtClientCenter::Instance()->CreateVtClient("127.0.0.1", hung.port));
    // Every hung client has called once (eight at a time, each call held for
    // the call margin) ...
    ASSERT_TRUE(waitUntil([&] { return hung.takeClient() >= hungCount; }, (hungCount / 8 + 2) * usual.callMarginMs));
    // ... and from now on they share two threads: a change waits at most for
    // the healthy client's next poll, or for a thread that a first hung call
    // still holds.
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(arrives(usual.waitMs + 2 * usual.callMarginMs)) << "change " << i << " beside hung receivers";
    for (IVtClient *client : hungClients)
        VtClientCenter::Instance()->DestroyVtClient(client);
    VtClientCenter::Instance()->DestroyVtClient(healthy);
    // The hung calls end first, so that none holds back the next client's tries.
    ASSERT_TRUE(waitUntil([] { return VtClientCenter::NetworkThreadCount() == 0; }, 2 * usual.callMarginMs + 1000));

    // A server that was away for a while is tried again at most eight pauses
    // apart. The outage's length is what is tested: 3.5 s of refused polls
    // (pauses of 200, 400, 800, 800 ms ...) would otherwise have stretched
    // the pause to 3.2 s.
    const int away = freeLoopbackPort();
    IVtClient *waiting = VtClientCenter::Instance()->CreateVtClient("127.0.0.1", away);
    QElapsedTimer outage;
    outage.start();
    waitUntil([&] { return outage.elapsed() >= 3500; }, 5000, 50);
    HungServer back(away);
    EXPECT_TRUE(waitUntil([&] { return back.takeClient() > 0; }, 8 * usual.retryMs + usual.callMarginMs));
    VtClientCenter::Instance()->DestroyVtClient(waiting);
}
}

// A change that lands while a held poll's hold runs out must either be in
// that poll's answer or leave the serial where it was; otherwise the client
// moves past it and keeps the old text until the next change.
TEST_F(Mirroring, AChangeAsAHoldRunsOutIsInTheAnswerOrStillAhead)
{
    serveOwnTree();
    VornValueTree::TreeServer_var own = treeServer(ownPorts.at(0));
    // Two spellings of one value: each is a path of its own for the peers.
    const VornValueTree::PathList watched = pathList({"/DEVICES/RX/Frequency", "/DEVICES//RX/Frequency"});

    std::atomic<bool> done {false};
    std::atomic<int> polls {0};
    std::atomic<int> skipped {0};
    // The server reads the tree on this thread, so the polls go from another.
    std::thread poller([&] {
        try {
            VornValueTree::Changes_var first = own->WaitChanges(0, 0, watched, VornValueTree::PathList(), 0, 78);
            const CORBA::ULongLong epoch = first->epoch;
            CORBA::ULongLong since = first->serial;
            for (int i = 0; i < 1500; ++i) {
                VornValueTree::Changes_var c
                    = own->WaitChanges(epoch, since, watched, VornValueTree::PathList(), 1, 78);
                if (c->serial != since && c->entries.length() != 2)
                    ++skipped;
                since = c->serial;
                ++polls;
            }
        } catch (const CORBA::Exception &) {
        }
        done = true;
    });
    // Changes at about the pace of the holds, so that many land at a hold's end.
    values::ValueBase *frequency = values::Tree::Instance()->FindValue("/DEVICES/RX/Frequency");
    int next = 0;
    QTimer changes;
    QObject::connect(&changes, &QTimer::timeout, [&] { frequency->SetStringValue(QString::number(++next), nullptr); });
    changes.start(1);
    EXPECT_TRUE(waitUntil([&] { return done.load(); }, 60000));
    changes.stop();
    poller.join();
    EXPECT_EQ(polls.load(), 1500);
    EXPECT_EQ(skipped.load(), 0);
}
