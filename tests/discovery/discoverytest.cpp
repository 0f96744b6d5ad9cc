// CCOWatcher, CCORegistration and CCOLocateRegistration against cco-server processes. The ORB is
// process-wide, so CTest runs every test in a process of its own.
#include "ccoclient.h"
#include "ccolocateregistration.h"
#include "ccoregistration.h"
#include "ccowatcher.h"
#include "orbconnection.h"
#include "orbhandler.h"
#include "orbhandlerhost.h"
#include "registrationtuning.h"
#include "serverprocess.h"
#include "tracerecorder.h"
#include "waituntil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>

using externalCCODriver::CCORegistration;
using externalCCODriver::CCOWatcher;
using testsupport::waitUntil;
using Bytes = ccoclient::Strings;
using testsupport::TraceRecorder;
using Entry = QPair<QString, QStringList>;
using List = CCOWatcher::CCOValuesList;

namespace
{
const QString category = QStringLiteral("CentralServices/Receiver/PulseAnalysis");
constexpr int pollMs = 50;

QString objectPath(const QString &subsystem, const QString &name)
{
    return QStringLiteral("CCO/LocalSystem/SubSystems/%1/%2/%3").arg(subsystem, category, name);
}

QString slot(int number)
{
    return QStringLiteral("CCO/LocalSystem/LocalSubSystem/LocalHost/Locate%1").arg(number);
}

// Direct CCO calls that bypass the classes under test; values are raw bytes.
void bindValues(const QString &path, const Bytes &values)
{
    ASSERT_TRUE(ccoclient::registerValues(path.toStdString(), values)) << path.toStdString();
}

void unbindValues(const QString &path)
{
    ASSERT_TRUE(ccoclient::unregisterValues(path.toStdString())) << path.toStdString();
}

Bytes resolveValues(const QString &path)
{
    return ccoclient::resolveValues(path.toStdString());
}

// The server's log reaches the test through a pipe. This makes a call of its own and waits for its line:
// every line of a call that has returned is in by then. Returns the number of lines so far, or -1.
int syncLog(testsupport::ServerProcess &server)
{
    static int counter = 0;
    const QString name = QStringLiteral("CCO/LocalSystem/LogSync%1").arg(++counter);
    resolveValues(name);
    const int line = server.waitForLine("CALL ResolveValues " + name + ' ', 5000);
    return line < 0 ? -1 : line + 1;
}

// Counts the single-shot timers the watcher arms, one at the end of each query (each becomes its
// child when armed), and those that fired, each starting a query.
struct PollTimers : QObject
{
    int armed = 0;
    int fired = 0;
    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (event->type() == QEvent::ChildAdded) {
            if (auto *timer = qobject_cast<QTimer *>(static_cast<QChildEvent *>(event)->child())) {
                ++armed;
                timer->installEventFilter(this);
            }
        } else if (event->type() == QEvent::Timer && qobject_cast<QTimer *>(object)) {
            ++fired;
        }
        return false;
    }
};

class WatcherTest : public ::testing::Test
{
protected:
    // A pool thread still tearing itself down at exit would be reported as a leak.
    void TearDown() override
    {
        watcher.reset();
        QThreadPool::globalInstance()->waitForDone();
    }
    void startCco(const QStringList &extra = {}, int callTimeoutMs = 3000)
    {
        cco = testsupport::startCcoServer(QStringList {"--subsystems", "SubA,SubB", "--subsystem", "SubA"} + extra);
        ASSERT_TRUE(cco->ready()) << cco->errorText().toStdString();
        ASSERT_TRUE(CorbaCommon::OrbHandlerHost::Init(
            {"-ORBInitRef", "CCO=" + cco->corbaloc(), "-ORBclientCallTimeOutPeriod", QString::number(callTimeoutMs)}));
        ASSERT_TRUE(CorbaCommon::OrbHandler::Instance().ConnectToCCO(2, 500));
    }
    void startWatcher(int attemptLimit = 10)
    {
        watcher = std::make_unique<CCOWatcher>(pollMs, attemptLimit, category);
        watcher->installEventFilter(&pollTimers);
        // The consumer outlives the watcher, so that a list sent while the watcher goes is still seen.
        QObject::connect(watcher.get(), &CCOWatcher::resultListChanged, &consumer,
            [this](const List &list) { published.append(list); });
        watcher->init();
    }
    bool waitForPublished(int count, int timeoutMs = 5000)
    {
        return waitUntil([&] { return published.size() >= count; }, timeoutMs);
    }
    bool waitForLast(const List &list)
    {
        return waitUntil([&] { return !published.isEmpty() && published.last() == list; });
    }
    // Waits until `polls` further polls (each begins with GetSubSystems) have been served and the
    // watcher's signals up to then have arrived.
    bool waitForPolls(int polls)
    {
        const int from = syncLog(*cco);
        const bool ok = from >= 0 && waitUntil([&] { return cco->countLines("CALL GetSubSystems", from) >= polls; });
        QCoreApplication::processEvents();
        return ok;
    }
    // A query that starts once the hang is in place is held at its first call, and the one before it
    // has ended by then: so while `change` runs no query is part-way, and each sees the state before
    // or after the whole change.
    void changeBetweenPolls(const std::function<void()> &change)
    {
        ASSERT_TRUE(cco->command("fault hang GetSubSystems"));
        const int fired = pollTimers.fired;
        ASSERT_TRUE(waitUntil([&] { return pollTimers.fired > fired; }));
        change();
        ASSERT_TRUE(cco->command("fault clear"));
    }

    std::unique_ptr<testsupport::ServerProcess> cco;
    PollTimers pollTimers;
    QObject consumer;
    QList<List> published;
    std::unique_ptr<CCOWatcher> watcher;
};
}

TEST_F(WatcherTest, FindsObjectsOfEverySubsystemInOrderAndPublishesOnlyChanges)
{
    // A query held while the test changes the CCO must not time out, however busy the machine.
    startCco({}, 60000);
    // SubB is listed after SubA, so its objects come later although registered first.
    bindValues(objectPath("SubB", "Rx3"), {"hostB", "ws2_Rx3", "info", "3003"});
    bindValues(objectPath("SubB", "Rx1"), {"hostB", "ws2_Rx1", "info", "3001"});
    bindValues(objectPath("SubA", "Rx1"), {"hostA", "Empf\xc3\xa4nger", "info", "2001"});
    bindValues(objectPath("SubA", "Rx2"), {});
    startWatcher();
    // Consumers that connect by signature find the list's type under this name.
    EXPECT_NE(QMetaType::type("externalCCODriver::CCOWatcher::CCOValuesList"), 0);
    ASSERT_TRUE(waitForPublished(1));
    const List expected {Entry("Rx1", {"hostA", QStringLiteral("Empfänger"), "info", "2001"}), Entry("Rx2", {}),
        Entry("Rx3", {"hostB", "ws2_Rx3", "info", "3003"}), Entry("Rx1", {"hostB", "ws2_Rx1", "info", "3001"})};
    EXPECT_EQ(published.first(), expected);

    ASSERT_TRUE(waitForPolls(5));
    EXPECT_EQ(published.size(), 1) << "an unchanged CCO publishes nothing more";
    // Fired timers do not pile up: the pending one and at most one on its way out.
    EXPECT_LE(watcher->findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly).size(), 2);

    // The same entries in another order (Rx2 moves to SubB's end), then one entry's values in another order.
    changeBetweenPolls([] {
        unbindValues(objectPath("SubA", "Rx2"));
        bindValues(objectPath("SubB", "Rx2"), {});
    });
    ASSERT_TRUE(waitForPublished(2));
    EXPECT_EQ(published.last(), (List {expected[0], expected[2], expected[3], expected[1]}));
    changeBetweenPolls([] {
        for (const char *name : {"Rx1", "Rx2"})
            unbindValues(objectPath("SubB", name));
        bindValues(objectPath("SubB", "Rx1"), {"hostB", "ws2_Rx1", "3001", "info"});
        bindValues(objectPath("SubB", "Rx2"), {});
    });
    ASSERT_TRUE(waitForPublished(3));
    EXPECT_EQ(published.last(),
        (List {expected[0], expected[2], Entry("Rx1", {"hostB", "ws2_Rx1", "3001", "info"}), expected[1]}));
    ASSERT_TRUE(waitForPolls(3));
    EXPECT_EQ(published.size(), 3);
}

// While the CCO is away, something else in the process fails to reach it too. The watcher never
// connects again by itself, so it must still be handed a reference that works once the CCO is back.
TEST_F(WatcherTest, CcoOutagePublishesAnEmptyListAndRestartTheFullListAgainWhateverElseFailedMeanwhile)
{
    QTemporaryDir dir;
    const QStringList keep {
        "--port", QString::number(testsupport::freeLoopbackPort()), "--state-file", dir.filePath("cco.state")};
    startCco(keep);
    bindValues(objectPath("SubA", "Rx1"), {"h", "h_Rx1", "i", "1"});
    startWatcher();
    const List full {Entry("Rx1", {"h", "h_Rx1", "i", "1"})};
    ASSERT_TRUE(waitForLast(full));

    cco->kill();
    ASSERT_TRUE(waitForLast(List()));
    EXPECT_FALSE(ORBConnection::instance()->connectToCCO());
    cco = testsupport::startCcoServer(QStringList {"--subsystems", "SubA,SubB", "--subsystem", "SubA"} + keep);
    ASSERT_TRUE(cco->ready()) << cco->errorText().toStdString();
    // One poll interval and one query; a call timeout leaves room for a busy machine.
    ASSERT_TRUE(waitForPublished(3, 3000));
    EXPECT_EQ(published.last(), full);
    EXPECT_EQ(published.size(), 3);
}

TEST_F(WatcherTest, FallsBackToLocalSubSystemOnlyWhenTheCcoListsNoSubsystem)
{
    startCco({"--subsystems", ""});
    bindValues("CCO/LocalSystem/LocalSubSystem/" + category + "/Rx1", {"h"});
    TraceRecorder traces;
    startWatcher();
    ASSERT_TRUE(waitForLast(List {Entry("Rx1", {"h"})}));

    // A failing listing is not an empty one: no fallback, nothing found.
    ASSERT_TRUE(cco->command("fault raise GetSubSystems NO_RESOURCES"));
    ASSERT_TRUE(waitForLast(List()));
    EXPECT_GT(traces.count("CCOWatcher::getPathsForAllSubsystems:Exception: CORBA::Exception"), 0);
    ASSERT_TRUE(cco->command("fault clear"));
    ASSERT_TRUE(waitForLast(List {Entry("Rx1", {"h"})}));
}

TEST_F(WatcherTest, GivesUpWithoutOrbAfterLimitPlusOneChecks)
{
    // The ORB of this process is never brought up. Each check arms the next poll's timer, and the
    // timer after the last check finds the watcher given up: limit + 2 timers.
    for (int limit : {0, 3}) {
        pollTimers.armed = 0;
        startWatcher(limit);
        ASSERT_TRUE(waitUntil([&] { return pollTimers.armed >= limit + 2; }, 3000)) << limit;
        EXPECT_FALSE(waitUntil([&] { return pollTimers.armed > limit + 2; }, 10 * pollMs)) << limit;
    }
    EXPECT_TRUE(published.isEmpty());
}

// However many calls the running query has left, deleting the watcher waits for the one in flight
// only; what the stopped query found so far is never published, and no query follows.
TEST_F(WatcherTest, DestructionEndsTheRunningQueryAfterTheCallInFlight)
{
    const int callTimeoutMs = 1000;
    startCco({}, callTimeoutMs);
    const int objects = 8;
    for (int i = 1; i <= objects; ++i)
        bindValues(objectPath("SubA", QStringLiteral("Rx%1").arg(i)), {"a"});
    const QString first = "CALL ResolveValues " + objectPath("SubA", "Rx1") + " ";
    const int delayMs = 300;
    const QStringList slow {QStringLiteral("delay ResolveValues %1").arg(delayMs)};
    QStringList hung;
    for (int i = 2; i <= objects; ++i)
        hung << "hang ResolveValues@" + objectPath("SubA", QStringLiteral("Rx%1").arg(i));
    for (const QStringList &faults : {slow, hung}) {
        published.clear();
        startWatcher();
        ASSERT_TRUE(waitForPublished(1));
        // A query that ran to its end would publish this change (Rx8 stays last).
        unbindValues(objectPath("SubA", "Rx8"));
        bindValues(objectPath("SubA", "Rx8"), {"changed"});
        for (const QString &fault : faults)
            ASSERT_TRUE(cco->command("fault " + fault));
        // Rx1 answered after the faults came in: the query is at Rx2 or about to ask for it.
        const int from = syncLog(*cco);
        ASSERT_TRUE(waitUntil([&] { return cco->countLines(first, from) > 0; }));
        QElapsedTimer clock;
        clock.start();
        watcher.reset();
        // The one call in flight, not the rest of the query (six more calls).
        EXPECT_LT(clock.elapsed(), callTimeoutMs + delayMs) << faults.join(", ").toStdString();
        ASSERT_TRUE(cco->command("fault clear"));
        const int polls = cco->countLines("CALL GetSubSystems");
        EXPECT_FALSE(waitUntil([&] { return cco->countLines("CALL GetSubSystems") > polls; }, 5 * pollMs));
        EXPECT_EQ(published.size(), 1) << faults.join(", ").toStdString();
        unbindValues(objectPath("SubA", "Rx8"));
        bindValues(objectPath("SubA", "Rx8"), {"a"});
    }
}

// Callers that run no event loop (a plain thread, a task of the pool) never deliver what a request
// queues to their thread; each request and its thread must end with the work all the same.
TEST_F(WatcherTest, SeesRegistrationsFromAnyThreadReplaceTheOldOneAndTheirRemoval)
{
    startCco();
    TraceRecorder traces;
    std::atomic<int> gone {0}; // requests and their threads
    externalCCODriver::tuning::setRegistrationStartHook([&](CCORegistration *request) {
        QObject::connect(request, &QObject::destroyed, [&] { ++gone; });
        QObject::connect(request->thread(), &QObject::destroyed, [&] { ++gone; });
    });
    startWatcher();
    const QString path = objectPath("SubB", "RxR");
    const QString notFound = "CCORegistration::unregisterValues:EXCEPTION: CosNaming::NamingContext::NotFound";

    // Nothing is registered yet: the removal's NotFound is traced and the registration goes ahead,
    // in Latin-1.
    CCORegistration::registerAtCCO(path, {QStringLiteral("Empfänger"), QStringLiteral("€5")});
    ASSERT_TRUE(waitUntil([&] { return !resolveValues(path).empty(); }));
    EXPECT_EQ(resolveValues(path), (Bytes {"Empf\xe4nger", "?5"}));
    EXPECT_EQ(traces.count(notFound), 1);
    EXPECT_TRUE(waitUntil([&] { return gone == 2; })) << "from the test's thread";

    std::thread([&] { CCORegistration::registerAtCCO(path, {"hostR", "77"}); }).join();
    EXPECT_TRUE(waitForLast(List {Entry("RxR", {"hostR", "77"})}));
    EXPECT_TRUE(waitUntil([&] { return gone == 4; })) << "from a std::thread";
    EXPECT_EQ(traces.count(notFound), 1);
    QtConcurrent::run([&] { CCORegistration::unregisterFromCCO(path); }).waitForFinished();
    EXPECT_TRUE(waitForLast(List()));
    EXPECT_TRUE(waitUntil([&] { return gone == 6; })) << "from a pool thread";
    externalCCODriver::tuning::setRegistrationStartHook({});
}

// Locate registrations of device "Dev" on "myHost", with a short second that keeps the waits and
// the random delay short.
class LocateTest : public WatcherTest
{
protected:
    void SetUp() override { externalCCODriver::tuning::setLocateRegistrationSecond(5); }
    // Runs one registration (or removal of the own entries) to its end.
    static bool runLocate(const QString &pattern, bool doRegister = true)
    {
        CCOLocateRegistration registration("myHost", "Dev", "info", 80, pattern, doRegister);
        return registration.wait(20000);
    }
};

TEST_F(LocateTest, TakesTheFirstFreeNumberAfterRemovingOwnAndInvalidEntriesOnly)
{
    startCco({"--workstation", "ws1"});
    const Bytes other {"otherHost", "otherHost_Dev", "x", "80"};
    const Bytes paddedPort {"myHost", "myHost_Old", "old", "0080"}; // the port is compared as text
    const Bytes otherPort {"myHost", "myHost_Old", "old", "81"};
    bindValues(slot(1), other);
    bindValues(slot(2), {"a", "b"});
    bindValues(slot(3), paddedPort);
    bindValues(slot(4), {"myHost", "myHost_Old", "old", "80"});
    bindValues(slot(5), {"1", "2", "3", "4", "5"});
    bindValues(slot(6), otherPort);
    TraceRecorder traces;
    ASSERT_TRUE(runLocate("Locate%1"));
    EXPECT_EQ(traces.count("Successfully registered device for locate myHost, Dev, info, 80, 2"), 1);
    EXPECT_EQ(resolveValues(slot(2)), (Bytes {"myHost", "myHost_Dev", "info", "80"}));
    EXPECT_EQ(resolveValues(slot(1)), other);
    EXPECT_EQ(resolveValues(slot(3)), paddedPort);
    EXPECT_TRUE(resolveValues(slot(4)).empty());
    EXPECT_TRUE(resolveValues(slot(5)).empty());
    EXPECT_EQ(resolveValues(slot(6)), otherPort);
}

// Destroying the object grants a registration its time before anything is stopped: one that can
// finish within it does, even with a CCO that answers every call late.
TEST_F(LocateTest, DestructionLetsARegistrationUnderWayFinish)
{
    startCco();
    ASSERT_TRUE(cco->command("fault delay ResolveValues 40"));
    TraceRecorder traces;
    const int from = syncLog(*cco);
    {
        CCOLocateRegistration registration("myHost", "Dev", "info", 80, "Locate%1", true);
        // Its first sweep has begun: about twenty calls are still to come.
        ASSERT_GE(cco->waitForLine("CALL ResolveValues " + slot(1) + " ", 10000, from), 0);
    }
    EXPECT_EQ(traces.count("Successfully registered device for locate myHost, Dev, info, 80, 1"), 1);
    EXPECT_EQ(resolveValues(slot(1)), (Bytes {"myHost", "myHost_Dev", "info", "80"}));
}

// A doubtful name pattern is warned about, and the registration and the removal run with the names
// it gives all the same: QString::arg() fills every lowest placeholder, and without one all ten
// numbers share the pattern itself.
TEST_F(LocateTest, DoubtfulPatternIsWarnedAboutAndUsedAsItStands)
{
    startCco();
    TraceRecorder traces;
    const Bytes mine {"myHost", "myHost_Dev", "info", "80"};
    const QStringList patterns {"LocateFixed", "Loc%1_%1", "Loc%2"};
    const QStringList firstNames {"LocateFixed", "Loc1_1", "Loc1"};
    for (int i = 0; i < patterns.size(); ++i) {
        const QString entry = "CCO/LocalSystem/LocalSubSystem/LocalHost/" + firstNames.at(i);
        for (bool doRegister : {true, false}) {
            const int from = syncLog(*cco);
            const int warnings = traces.count("warning: name pattern \"" + patterns.at(i) + '"');
            ASSERT_TRUE(runLocate(patterns.at(i), doRegister)) << patterns.at(i).toStdString();
            ASSERT_GE(syncLog(*cco), 0);
            EXPECT_EQ(traces.count("warning: name pattern \"" + patterns.at(i) + '"'), warnings + 1);
            EXPECT_GE(cco->countLines("CALL ResolveValues " + entry + ' ', from), 1);
            const QString call = doRegister ? "CALL RegisterValues " : "CALL UnregisterValues ";
            EXPECT_EQ(cco->countLines(call + firstNames.at(i) + ' ', from), 1) << call.toStdString();
            EXPECT_EQ(resolveValues(entry), doRegister ? mine : Bytes()) << patterns.at(i).toStdString();
        }
    }
    EXPECT_EQ(traces.count("Successfully registered device for locate myHost, Dev, info, 80, 1"), patterns.size());
    EXPECT_EQ(traces.count("Successfully unregistered devices for locate"), 2 * patterns.size());

    // A name outside the own workstation is registered where it cannot be read back: the search for
    // a free number meets an unknown path, which ends the registration.
    const QString outside = "CCO/LocalSystem/LocalSubSystem/LocalHost/Abs%1";
    int from = syncLog(*cco);
    ASSERT_TRUE(runLocate(outside));
    ASSERT_GE(syncLog(*cco), 0);
    EXPECT_EQ(traces.count("warning: name pattern \"" + outside + '"'), 1);
    EXPECT_GE(
        cco->countLines("CALL ResolveValues CCO/LocalSystem/LocalSubSystem/LocalHost/" + outside.arg(1), from), 1);

    // Without a placeholder, an entry of another device under that one name leaves no number free:
    // every attempt ends without a registration, and the twenty attempts still run out.
    externalCCODriver::tuning::setLocateRegistrationSecond(1);
    const QString fixed = "CCO/LocalSystem/LocalSubSystem/LocalHost/LocateFixed";
    const Bytes other {"otherHost", "otherHost_Dev", "x", "80"};
    bindValues(fixed, other);
    const int registered = traces.count("Successfully registered");
    from = syncLog(*cco);
    ASSERT_TRUE(runLocate("LocateFixed"));
    ASSERT_GE(syncLog(*cco), 0);
    EXPECT_EQ(cco->countLines("CALL RegisterValues ", from), 0);
    // Each attempt: the own entries, the invalid ones, the free number, ten names each.
    EXPECT_EQ(cco->countLines("CALL ResolveValues " + fixed + ' ', from), 20 * 3 * 10);
    EXPECT_EQ(resolveValues(fixed), other);
    EXPECT_EQ(traces.count("Successfully registered"), registered);
}

// Twelve registrars in processes of their own compete for the ten numbers. Unseeded, every process
// draws the same delays, so they collide. Every number must end with exactly the registrar that
// reported it, its entry as registered; nothing else holds a number.
TEST_F(LocateTest, RegistrarsInSeparateProcessesEndWithDistinctNumbers)
{
    startCco();
    std::vector<std::unique_ptr<QProcess>> registrars;
    for (int i = 0; i < 12; ++i) {
        registrars.push_back(std::make_unique<QProcess>());
        registrars.back()->setProcessChannelMode(QProcess::MergedChannels);
        registrars.back()->start(
            LOCATE_REGISTRAR, {cco->corbaloc(), QStringLiteral("host%1").arg(i), QString::number(4000 + i), "20"});
    }
    std::set<int> numbers;
    for (int i = 0; i < 12; ++i) {
        ASSERT_TRUE(registrars[i]->waitForFinished(90000)) << i;
        const QString output = QString::fromLocal8Bit(registrars[i]->readAll());
        ASSERT_EQ(registrars[i]->exitCode(), 0) << output.toStdString();
        const auto match = QRegularExpression("RESULT registered (\\d+)").match(output);
        if (!match.hasMatch()) {
            EXPECT_TRUE(output.contains("RESULT failed")) << output.toStdString();
            continue;
        }
        const int number = match.captured(1).toInt();
        const std::string host = "host" + std::to_string(i);
        EXPECT_TRUE(numbers.insert(number).second) << "number " << number << " reported twice";
        EXPECT_EQ(resolveValues(slot(number)), (Bytes {host, host + "_Dev", "info", std::to_string(4000 + i)}));
    }
    for (int i = 1; i <= 10; ++i)
        EXPECT_EQ(!resolveValues(slot(i)).empty(), numbers.count(i) == 1) << "number " << i;
    // A registrar gives up only once all ten are taken.
    EXPECT_EQ(numbers.size(), 10u);
}
