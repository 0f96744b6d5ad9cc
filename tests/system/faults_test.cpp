// Faults of the installation's servers while the library works: a CCO that
// hangs, answers slowly or is killed in the middle of a poll or a
// registration, a matrix manager killed or stopped in the middle of a
// switching run. This process is the host: it owns the value tree, the ORB
// (call timeout 1000 ms) and the event loop, whose longest stall a heartbeat
// measures.
#include "registrationtuning.h"
#include "systemsupport.h"

#include "ccoclient.h"
#include "ccolocateregistration.h"
#include "ccoregistration.h"
#include "ccowatcher.h"
#include "cfgcenter.h"
#include "cfgcenterhost.h"
#include "externalccodriver.h"
#include "orbhandler.h"
#include "orbhandlerhost.h"
#include "receivercco.h"
#include "receivertree.h"
#include "serverprocess.h"
#include "tree.h"
#include "treehost.h"
#include "vtclientcenter.h"
#include "waituntil.h"

#include <matrixmanager.hh>
#include <omniORB4/omniInterceptors.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>

using namespace systemtest;
using testsupport::ServerProcess;
using testsupport::waitUntil;
using namespace externalCCODriver::mirroring;

namespace
{
constexpr int callTimeoutMs = 1000;
// A library that waits for a call blocks for a whole call timeout, so a stall
// or a return shorter than one tells a call abandoned from one waited for.
constexpr int notBlockedMs = callTimeoutMs;
// Back after the one call that timed out, before a second one could have.
constexpr int oneCallMs = 2 * callTimeoutMs;
const char *const workstation = "ws-faults";
const QString category = QStringLiteral("CentralServices/Receiver/PulseAnalysis");
const QString ccoCategory = QStringLiteral("CCO/LocalSystem/LocalSubSystem/") + category;

// Counts the time between ticks of a 5 ms timer on this thread: the longest
// gap is how long the host's event loop was held up.
class Heartbeat
{
public:
    Heartbeat()
    {
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            const qint64 now = clock.elapsed();
            maxGap = std::max(maxGap, now - last);
            last = now;
        });
        clock.start();
        timer.start(5);
    }
    // Forgets the gaps so far.
    void reset()
    {
        last = clock.elapsed();
        maxGap = 0;
    }
    // A stall still going on counts too.
    qint64 maxGapMs() const { return std::max(maxGap, clock.elapsed() - last); }

private:
    QTimer timer;
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 maxGap = 0;
};

std::mutex noticeMutex;
std::function<void(const char *, const char *)> notice;

CORBA::Boolean requestSent(omni::omniInterceptors::clientSendRequest_T::info_T &info)
{
    std::function<void(const char *, const char *)> copy;
    {
        std::lock_guard<std::mutex> lock(noticeMutex);
        copy = notice;
    }
    if (copy)
        copy(info.operation(), info.peeraddress());
    return true;
}

// Calls `notice(operation, peer)` on the calling thread each time this
// process sends a CORBA request, before it goes out, so that a test can strike
// a server in the middle of a call. One notice at a time: a later call
// replaces the function, an empty one removes it.
void onRequestSent(std::function<void(const char *, const char *)> function)
{
    static std::once_flag installed;
    std::call_once(installed, [] { omniORB::getInterceptors()->clientSendRequest.add(requestSent); });
    std::lock_guard<std::mutex> lock(noticeMutex);
    notice = std::move(function);
}

// The tree of a receiver as the driver's antenna side expects it below
// `devicePath`: HF1 is input 3, HF2 input 4, VUHF input 6, DUMMYLOAD none; output 2; hardware RUNNING.
void buildReceiverTree(const QString &devicePath)
{
    receivertree::buildReceiver(devicePath, {{"HF1", 3}, {"HF2", 4}, {"VUHF", 6}, {"DUMMYLOAD", 0}}, "RUNNING", 2);
}

// The CCO keeps its registrations in a state file, so that a restart (after a
// crash too) finds what was registered before. It keeps its port too: the
// ORB's initial reference names it.
std::unique_ptr<QTemporaryDir> scratch;
int ccoPort = 0;
std::unique_ptr<ServerProcess> cco;

void startCco()
{
    cco.reset();
    cco = std::make_unique<ServerProcess>(testsupport::ccoServerPath(),
        QStringList {"--port", QString::number(ccoPort), "--workstation", QString::fromLatin1(workstation),
            "--state-file", scratch->filePath("cco.state")});
    ASSERT_TRUE(cco->start()) << qPrintable(cco->errorText());
}

// Once for the program, both suites: the ORB comes up once per process.
class FaultsEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        scratch = std::make_unique<QTemporaryDir>();
        ccoPort = testsupport::freeLoopbackPort();
        startCco();
        ASSERT_TRUE(CorbaCommon::OrbHandlerHost::Init(
            {"-ORBInitRef", QStringLiteral("CCO=corbaloc::127.0.0.1:%1/CCO").arg(ccoPort),
                "-ORBclientCallTimeOutPeriod", QString::number(callTimeoutMs)}))
            << "the ORB did not come up";
        values::TreeHost::Create();
    }

    void TearDown() override
    {
        values::TreeHost::Destroy();
        cco.reset();
        scratch.reset();
    }
};
const auto *environment = ::testing::AddGlobalTestEnvironment(new FaultsEnvironment);

class Faults : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(cco && cco->isRunning()) << "an earlier test left no CCO";
        // After a restart of the CCO, each connection the ORB still holds to
        // the old process fails one request; connect until it is through.
        ASSERT_TRUE(waitUntil([] { return CorbaCommon::OrbHandler::Instance().ConnectToCCO(2, 500); }, 10000))
            << qPrintable(cco->lines().join(QLatin1Char('\n')));
        clock.start();
    }

    void TearDown() override
    {
        onRequestSent({});
        cco->command("fault clear");
    }

    static bool isRegistered(const QString &path) { return !ccoclient::resolveValues(path.toStdString()).empty(); }

    // Gives the CCO `fault`, does `send` (nothing when the library calls by
    // itself) and waits until this process has sent `operation`: from then on
    // the call is in flight, held by the fault. `sentAt` tells when it went.
    bool inFlight(const QString &fault, const char *operation, const std::function<void()> &send = {})
    {
        sentAt = -1;
        onRequestSent([this, operation](const char *op, const char *) {
            qint64 unset = -1;
            if (std::strcmp(op, operation) == 0)
                sentAt.compare_exchange_strong(unset, clock.elapsed());
        });
        if (!cco->command(fault))
            return false;
        if (send)
            send();
        return waitUntil([&] { return sentAt.load() >= 0; }, 10000);
    }

    QElapsedTimer clock;
    std::atomic<qint64> sentAt {-1};
};

using Lists = QList<QPair<qint64, externalCCODriver::CCOWatcher::CCOValuesList>>;

// Whether the latest list holds `name` with all four of its strings.
bool lastListHas(const Lists &lists, const QString &name)
{
    if (lists.isEmpty())
        return false;
    for (const auto &entry : lists.last().second) {
        if (entry.first == name && entry.second.size() == 4)
            return true;
    }
    return false;
}

TEST_F(Faults, WatcherRidesOutAHungASlowAndAKilledCcoAndListsAgainOnceItIsBack)
{
    ASSERT_TRUE(ccoclient::registerValues(ccoCategory.toStdString() + "/RXF", {"127.0.0.1", "d", "i", "4000"}));
    Lists lists;
    QObject owner;
    auto *watcher = new externalCCODriver::CCOWatcher(100, 10, category, &owner);
    QObject::connect(watcher, &externalCCODriver::CCOWatcher::resultListChanged, &owner,
        [&](const externalCCODriver::CCOWatcher::CCOValuesList &list) { lists << qMakePair(clock.elapsed(), list); });
    watcher->init();
    ASSERT_TRUE(waitUntil([&] { return lastListHas(lists, "RXF"); }, 5000));
    Heartbeat heartbeat;

    // Slow but inside the call timeout: nothing changes, polls take longer.
    {
        const int before = lists.size();
        std::atomic<int> resolves {0};
        onRequestSent([&](const char *op, const char *) {
            if (std::strcmp(op, "ResolveValues") == 0)
                ++resolves;
        });
        ASSERT_TRUE(cco->command("fault delay * 300"));
        // Three polls of two ResolveValues each, every call 300 ms late.
        ASSERT_TRUE(waitUntil([&] { return resolves.load() >= 7; }, 10000));
        EXPECT_EQ(lists.size(), before) << "a slow CCO changed the published list";
        EXPECT_LT(heartbeat.maxGapMs(), notBlockedMs) << "the watcher held up the host's event loop";
        ASSERT_TRUE(cco->command("fault clear"));
        onRequestSent({});
    }

    // Hung in a poll, the call times out; killed, it fails at once. Either
    // way the watcher publishes what it got (no entries, or RXF without its
    // strings, as the held call was the listing or the entry's), and lists
    // again once the CCO is released, or restarted on its port with its
    // state file.
    for (const bool kill : {false, true}) {
        SCOPED_TRACE(kill ? "killed in a poll" : "hung in a poll");
        ASSERT_TRUE(inFlight("fault hang ResolveValues", "ResolveValues"));
        const int before = lists.size();
        qint64 struckAt = sentAt;
        if (kill) {
            cco->kill();
            struckAt = clock.elapsed();
        }
        ASSERT_TRUE(waitUntil([&] { return lists.size() > before; }, 2 * oneCallMs));
        EXPECT_FALSE(lastListHas(lists, "RXF")) << "a list the watcher could not read in full was kept";
        EXPECT_LE(lists.last().first - struckAt, kill ? callTimeoutMs : oneCallMs)
            << (kill ? "a failed call waited for its timeout" : "a hung call outlasted its timeout");
        EXPECT_LT(heartbeat.maxGapMs(), notBlockedMs) << "the watcher held up the host's event loop";
        if (kill)
            startCco();
        else
            ASSERT_TRUE(cco->command("fault clear"));
        // Starting the server holds this thread until it is ready: the test's stall, not the watcher's.
        heartbeat.reset();
        ASSERT_TRUE(waitUntil([&] { return lastListHas(lists, "RXF"); }, 10000));
        EXPECT_LT(heartbeat.maxGapMs(), notBlockedMs) << "the watcher held up the host's event loop";
    }
}

TEST_F(Faults, RegistrationThreadsComeBackWhenTheCcoHangsOrDiesInTheirCall)
{
    externalCCODriver::tuning::setRegistrationRetryInterval(100);
    std::atomic<int> running {0};
    std::atomic<qint64> finishedAt {-1};
    externalCCODriver::tuning::setRegistrationStartHook([&](externalCCODriver::CCORegistration *request) {
        ++running;
        QObject::connect(
            request, &externalCCODriver::CCORegistration::finished, request,
            [&] {
                finishedAt = clock.elapsed();
                --running;
            },
            Qt::DirectConnection);
    });
    Heartbeat heartbeat;

    const struct
    {
        const char *scenario;
        const char *fault;
        bool kill;
        bool kept; // the CCO holds the list afterwards
    } cases[] = {
        // Released, the CCO carries out the call its client gave up on.
        {"CCO hangs in RegisterValues", "fault hang RegisterValues", false, true},
        // A request makes its one call; what did not get through is not retried.
        {"CCO killed in RegisterValues, restarted", "fault hang RegisterValues", true, false},
        {"CCO answers every call 300 ms late", "fault delay * 300", false, true},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.scenario);
        heartbeat.reset();
        const QString path = ccoCategory + QStringLiteral("/REG%1").arg(++n);
        finishedAt = -1;
        ASSERT_TRUE(inFlight(c.fault, "RegisterValues", [&] {
            externalCCODriver::CCORegistration::registerAtCCO(path, {"127.0.0.1", "d", "i", "4001"});
        }));
        qint64 struckAt = sentAt;
        if (c.kill) {
            cco->kill();
            struckAt = clock.elapsed();
        }
        ASSERT_TRUE(waitUntil([&] { return finishedAt.load() >= 0; }, 2 * oneCallMs));
        EXPECT_LE(finishedAt - struckAt, c.kill ? qint64(callTimeoutMs) : qint64(oneCallMs));
        // The request's thread ends right after finished(); no retry can come after it.
        EXPECT_TRUE(waitUntil([&] { return running.load() == 0; }, callTimeoutMs));
        if (c.kill)
            startCco();
        ASSERT_TRUE(cco->command("fault clear"));
        if (c.kept)
            EXPECT_TRUE(waitUntil([&] { return isRegistered(path); }, callTimeoutMs));
        else
            EXPECT_FALSE(isRegistered(path));
    }
    EXPECT_LT(heartbeat.maxGapMs(), notBlockedMs) << "a registration held up the host's event loop";
    externalCCODriver::tuning::setRegistrationStartHook({});
    externalCCODriver::tuning::setRegistrationRetryInterval(0);
}

TEST_F(Faults, LocateRegistrationEndsWithinOneCallWhenTheCcoDiesUnderIt)
{
    externalCCODriver::tuning::setLocateRegistrationSecond(20);
    std::unique_ptr<CCOLocateRegistration> registration;
    ASSERT_TRUE(inFlight("fault hang RegisterValues", "RegisterValues", [&] {
        registration = std::make_unique<CCOLocateRegistration>("127.0.0.1", "dev", "info", 4002, "Locate%1", true);
    }));
    cco->kill();
    // Its one call in flight fails when the CCO dies, and an exception ends
    // the whole registration.
    const qint64 destroyedFrom = clock.elapsed();
    registration.reset();
    EXPECT_LE(clock.elapsed() - destroyedFrom, oneCallMs);
    startCco();
    externalCCODriver::tuning::setLocateRegistrationSecond(0);
}

// A receiver workstation that stops answering (SIGSTOP) while this process
// mirrors it: the value-tree client's poll is bounded, the loss is reported,
// the receiver is mirrored again once it runs, and a mirror destroyed while
// the receiver hangs returns within one poll.
TEST_F(Faults, MirroredReceiverThatStopsAnsweringIsLetGoAndTakenBack)
{
    VtClientCenter::Timing timing;
    timing.waitMs = 300;
    timing.retryMs = 100;
    timing.callMarginMs = 700;
    VtClientCenter::Instance()->SetTiming(timing);
    // One poll's bound; twice it is "within one poll, not two".
    const int pollBoundMs = timing.waitMs + timing.callMarginMs;

    // Earlier tests left entries (of receivers that do not exist) in the
    // category; this receiver is to be the mirror's number 0.
    // (A context without a list of its own refuses the removal: nothing to remove.)
    for (const std::string &name : ccoclient::resolveValues(ccoCategory.toStdString()))
        ccoclient::unregisterValues(ccoCategory.toStdString() + '/' + name);

    const int port = testsupport::freeLoopbackPort();
    auto receiver = startReceiverHost(ccoPort, port, "RXSTOP");
    ASSERT_TRUE(receiver);

    auto owner = std::make_unique<QObject>();
    QList<QPair<qint64, int>> events; // (time, +1 connected / -1 disconnected)
    auto *mirror = new ReceiverCCO(*owner);
    QObject::connect(mirror, &ReceiverCCO::receiverConnected, owner.get(),
        [&](const CcoReceiverProperties &) { events << qMakePair(clock.elapsed(), 1); });
    QObject::connect(mirror, &ReceiverCCO::receiverDisconnected, owner.get(),
        [&](int) { events << qMakePair(clock.elapsed(), -1); });
    CcoInitParameters parameters;
    parameters.subTreePattern = QStringLiteral("/STOPPED/RX%1");
    parameters.mirroredValues = QStringList {"Frequency"};
    mirror->init(parameters);
    // Lists every 100 ms instead of 5000 ms; the class is otherwise as is.
    delete mirror->findChild<externalCCODriver::CCOWatcher *>();
    auto *watcher = new externalCCODriver::CCOWatcher(100, 10, category, mirror);
    QObject::connect(watcher, SIGNAL(resultListChanged(const externalCCODriver::CCOWatcher::CCOValuesList &)), mirror,
        SLOT(onReceiverListUpdated(const externalCCODriver::CCOWatcher::CCOValuesList &)));
    watcher->init();
    const auto last = [&] { return events.isEmpty() ? 0 : events.last().second; };
    ASSERT_TRUE(waitUntil([&] { return last() == 1; }, 8000));
    Heartbeat heartbeat;

    receiver->suspend();
    const qint64 stoppedAt = clock.elapsed();
    ASSERT_TRUE(waitUntil([&] { return last() == -1; }, 4 * pollBoundMs));
    EXPECT_LE(events.last().first - stoppedAt, 2 * pollBoundMs);
    receiver->resume();
    ASSERT_TRUE(waitUntil([&] { return last() == 1; }, 5000));
    EXPECT_EQ(valueText("/STOPPED/RX0/Frequency"), "100");
    EXPECT_LT(heartbeat.maxGapMs(), notBlockedMs);

    receiver->suspend();
    const qint64 destroyedFrom = clock.elapsed();
    owner.reset();
    EXPECT_LE(clock.elapsed() - destroyedFrom, 2 * pollBoundMs);
    receiver->resume();
    EXPECT_EQ(VtClientCenter::Instance()->ClientCount(), 0);
    // The poll that hung ends on its network thread, within its bound.
    EXPECT_TRUE(waitUntil([] { return VtClientCenter::NetworkThreadCount() == 0; }, 2 * pollBoundMs));
    ASSERT_TRUE(hostDo(*receiver, {"unregister RXSTOP"}));
}

// The driver's antenna side in this process against a matrix-server that is
// killed or stopped while the host thread is in its call, with
// "AntennaSelfHealing" off and on.
class DriverFaults : public Faults, public ::testing::WithParamInterface<bool>
{
protected:
    static constexpr int reconnectMs = 100;

    void SetUp() override
    {
        Faults::SetUp();
        static int instance = 0;
        devicePath = QStringLiteral("/DEVICES/SYS%1").arg(++instance);
        buildReceiverTree(devicePath);
        CfgCenterHost::SetConfigLocation(writeConfig(*scratch, "SystemFaults",
            {QStringLiteral("ReconnectTimer=%1").arg(reconnectMs), QStringLiteral("ValuePath=") + devicePath,
                "AntennaMatrixDriver=true", "MatrixID=1",
                QStringLiteral("MatrixRemoteHost=") + QLatin1String(workstation),
                QStringLiteral("AntennaSelfHealing=") + (healing() ? "true" : "false")}));
        startMatrix();
        driver = std::make_unique<ExternalCCODriver>("SystemFaults");
        driver->Init();
        ASSERT_TRUE(
            waitUntil([&] { return valueText(devicePath + QStringLiteral("/USINGANTENNAMATRIX")) == "true"; }, 5000));
    }

    void TearDown() override
    {
        driver.reset();
        matrix.reset();
        values::TreeHost::RemoveNode(devicePath);
        Faults::TearDown();
    }

    void startMatrix()
    {
        matrix = testsupport::startMatrixServer(cco->corbaloc(),
            {"--workstation", QString::fromLatin1(workstation), "--id", "1", "--inputs", "8", "--outputs", "4",
                "--retry-interval", "100", "--check-interval", "200"});
        ASSERT_TRUE(matrix->ready()) << qPrintable(matrix->errorText());
        ASSERT_GE(waitForLine(*matrix, "REGISTERED", 5000), 0);
    }

    QString connections()
    {
        try {
            MatrixManager::IF_MMR_c_var ref = ccoclient::narrowTo<MatrixManager::IF_MMR_c>(matrix->corbaloc());
            CORBA::String_var text = ref->connectionData();
            return QString::fromLatin1(text.in());
        } catch (const CORBA::Exception &e) {
            return QStringLiteral("<%1>").arg(QString::fromLatin1(e._name()));
        }
    }

    // The switching run follows 20 ms later on this thread, inside the next wait.
    void change(const QString &antenna) { receivertree::select(devicePath + QStringLiteral("/ANTENNA"), antenna); }

    QString lastError() { return valueText(devicePath + QStringLiteral("/LASTDRIVERERROR")); }
    bool reports(const QString &error, int timeoutMs)
    {
        return waitUntil([&] { return lastError() == error; }, timeoutMs);
    }

    static bool healing() { return GetParam(); }

    static int inputOf(const QString &antenna)
    {
        return antenna == QLatin1String("HF1") ? 3 : antenna == QLatin1String("HF2") ? 4 : 6;
    }
    bool shows(const QString &antenna, int timeoutMs = 3000)
    {
        const QString expected = QStringLiteral("out 2 <- in %1").arg(inputOf(antenna));
        return waitUntil([&] { return connections() == expected; }, timeoutMs);
    }

    // Once the server is back: how many antenna changes, taken in turn from
    // `changes`, a user needs until the matrix shows the selected antenna
    // (-1: not within them). 0 when it gets there by itself: one tick, the
    // debounce and the pause of at most one call timeout after a stalled tick.
    int changesNeeded(const QString &selected, const QStringList &changes)
    {
        if (shows(selected, oneCallMs + reconnectMs))
            return 0;
        for (int n = 0; n < changes.size(); ++n) {
            change(changes.at(n));
            if (shows(changes.at(n), callTimeoutMs))
                return n + 1;
        }
        return -1;
    }

    QString devicePath;
    std::unique_ptr<ServerProcess> matrix;
    std::unique_ptr<ExternalCCODriver> driver;
};

const QString mmrCallFailed = QStringLiteral("Antenna cannot be changed, Exception in call of MMR caught!");

TEST_P(DriverFaults, MatrixManagerKilledInTheMiddleOfASwitchingRun)
{
    change("HF1");
    ASSERT_TRUE(shows("HF1"));
    // Killed as the connect goes out: the call meets a dead server.
    onRequestSent([&](const char *op, const char *) {
        if (std::strcmp(op, "connect") == 0 && matrix->isRunning())
            matrix->kill();
    });
    Heartbeat heartbeat;
    change("VUHF");
    ASSERT_TRUE(reports(mmrCallFailed, oneCallMs));
    onRequestSent({});
    EXPECT_LT(heartbeat.maxGapMs(), notBlockedMs) << "a failed call waited for its timeout";

    startMatrix();
    EXPECT_EQ(changesNeeded("VUHF", {"HF2"}), healing() ? 0 : 1) << qPrintable(connections());
    if (healing()) {
        EXPECT_TRUE(lastError().isEmpty()) << "a successful switch empties LASTDRIVERERROR";
    }
}

TEST_P(DriverFaults, MatrixManagerStoppedInTheMiddleOfASwitchingRun)
{
    change("HF1");
    ASSERT_TRUE(shows("HF1"));
    // Stopped as the connect goes out; the server holds the call until the
    // fault is cleared, so it carries it out late, after the driver gave up.
    ASSERT_TRUE(matrix->command("fault hang connect"));
    onRequestSent([&](const char *op, const char *) {
        if (std::strcmp(op, "connect") == 0)
            matrix->suspend();
    });
    Heartbeat heartbeat;
    change("VUHF");
    ASSERT_TRUE(reports(mmrCallFailed, 2 * oneCallMs));
    onRequestSent({});
    const qint64 gap = heartbeat.maxGapMs();
    EXPECT_LE(gap, oneCallMs);
    EXPECT_GE(gap, callTimeoutMs / 2) << "the call did not wait for its timeout";

    matrix->resume();
    ASSERT_TRUE(matrix->command("fault clear"));
    // The late connect is the selected antenna's, so the matrix agrees with
    // the selection either way.
    EXPECT_EQ(changesNeeded("VUHF", {}), 0) << qPrintable(connections());
    // What differs is whether the driver knows it when the user moves on:
    // without self-healing it still counts HF1 as connected, so HF2 is
    // refused and only VUHF again agrees with the matrix.
    change("HF2");
    EXPECT_EQ(shows("HF2", oneCallMs), healing()) << qPrintable(connections());
    if (!healing()) {
        change("VUHF");
        EXPECT_TRUE(shows("VUHF", oneCallMs)) << qPrintable(connections());
    }
}

TEST_P(DriverFaults, CcoHungWhileTheSwitchingRunLooksTheManagerUp)
{
    change("HF1");
    ASSERT_TRUE(shows("HF1"));
    ASSERT_TRUE(cco->command("fault hang Resolve"));
    Heartbeat heartbeat;
    change("VUHF");
    ASSERT_TRUE(reports("Antenna cannot be changed, CommController not responding!", 2 * oneCallMs));
    EXPECT_LE(heartbeat.maxGapMs(), oneCallMs);
    ASSERT_TRUE(cco->command("fault clear"));
    // Without self-healing the change after a failed lookup looks the
    // manager up, and the one after that is switched.
    EXPECT_EQ(changesNeeded("VUHF", {"HF2", "VUHF"}), healing() ? 0 : 2) << qPrintable(connections());
}

TEST_P(DriverFaults, DriverStartUpAgainstAHungCcoHoldsTheHostOneProbeAtATime)
{
    // A second instance starting while the CCO hangs: each retry tick probes
    // the CCO on the host thread.
    driver.reset();
    // The user picked an antenna before the antenna side was up.
    change("HF1");
    ASSERT_TRUE(cco->command("fault hang *"));
    std::atomic<int> requests {0};
    onRequestSent([&](const char *, const char *) { ++requests; });
    Heartbeat heartbeat;
    driver = std::make_unique<ExternalCCODriver>("SystemFaults");
    driver->Init();
    // A tick probes the CCO with the timeout of the last connect that got
    // through (500 ms), then tries twice to connect anew, 500 ms each: it
    // holds the host for three waits, and the ticks come one at a time with
    // the timer's interval free between them. A tick that waited once more,
    // or a whole call timeout (1000 ms) for its probe, holds it for four
    // waits at least; a loaded machine stretches three waits only by its
    // wake-ups and the calls around them, not by a whole wait.
    const int waitMs = 500;
    const int tickBoundMs = 3 * waitMs;
    // Several ticks' probes, so that the stall of each has been seen.
    ASSERT_TRUE(waitUntil([&] { return requests.load() >= 6; }, 4 * (reconnectMs + tickBoundMs)));
    onRequestSent({});
    const qint64 gap = heartbeat.maxGapMs();
    ASSERT_TRUE(cco->command("fault clear"));
    EXPECT_TRUE(waitUntil(
        [&] {
            return values::Tree::Instance()->FindValue(devicePath + QStringLiteral("/USINGANTENNAMATRIX")) != nullptr;
        },
        5000));
    EXPECT_LT(gap, tickBoundMs + waitMs) << "a tick held the host for more than its three waits";
    EXPECT_EQ(changesNeeded("HF1", {"HF2"}), healing() ? 0 : 1) << qPrintable(connections());
}

INSTANTIATE_TEST_SUITE_P(System, DriverFaults, ::testing::Bool(),
    [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "SelfHealing" : "AsStated"; });
}
