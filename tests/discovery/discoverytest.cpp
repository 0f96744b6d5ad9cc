// CCOWatcher, CCORegistration and CCOLocateRegistration against cco-server processes. The ORB is
// process-wide, so CTest runs every test in a process of its own.
#include "ccolocateregistration.h"
#include "ccoregistration.h"
#include "ccowatcher.h"
#include "errorhandler.h"
#include "orbhandler.h"
#include "serverprocess.h"
#include "waituntil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <set>

using externalCCODriver::CCORegistration;
using externalCCODriver::CCOWatcher;
using testsupport::waitUntil;
using Bytes = QList<QByteArray>;
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

CCO::IF_CCO_c_var ccoRef()
{
    return CorbaCommon::OrbHandler::Instance().GetCCO();
}

// Direct CCO calls that bypass the classes under test; values are raw bytes.
void bindValues(const QString &path, const Bytes &values)
{
    CCO::StringList list;
    list.length(CORBA::ULong(values.size()));
    for (int i = 0; i < values.size(); ++i)
        list[CORBA::ULong(i)] = CORBA::string_dup(values.at(i).constData());
    ccoRef()->RegisterValues(path.toLatin1().constData(), list, CCO::RT_Single);
}

void unbindValues(const QString &path)
{
    ccoRef()->UnregisterValues(path.toLatin1().constData(), CCO::RT_Single);
}

// An unknown path reads as no values.
Bytes resolveValues(const QString &path)
{
    Bytes out;
    try {
        CCO::StringList_var list = ccoRef()->ResolveValues(path.toLatin1().constData(), CCO::RM_Default);
        for (CORBA::ULong i = 0; i < list->length(); ++i)
            out.append(QByteArray(list[i].in()));
    } catch (const CORBA::Exception &) {
    }
    return out;
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

struct TraceRecorder
{
    TraceRecorder()
    {
        ErrorHandler::Instance()->SetTraceFilter(ErrorHandler::TraceDriver);
        ErrorHandler::Instance()->SetTraceCapture([this](const QString &line) {
            std::lock_guard<std::mutex> lock(mutex);
            recorded.append(line);
        });
    }
    ~TraceRecorder() { ErrorHandler::Instance()->SetTraceCapture({}); }
    int count(const QString &text) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return int(std::count_if(recorded.begin(), recorded.end(), [&](const QString &l) { return l.contains(text); }));
    }
    mutable std::mutex mutex;
    QStringList recorded;
};

// Counts the single-shot timers the watcher arms, one per poll: each becomes its child when armed.
struct ArmedTimers : QObject
{
    int count = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        count += event->type() == QEvent::ChildAdded
            && qobject_cast<QTimer *>(static_cast<QChildEvent *>(event)->child());
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
    void startCco(const QStringList &extra = {})
    {
        cco = testsupport::startCcoServer(QStringList {"--subsystems", "SubA,SubB", "--subsystem", "SubA"} + extra);
        ASSERT_TRUE(cco->ready()) << cco->errorText().toStdString();
        ASSERT_TRUE(CorbaCommon::OrbHandler::Instance().Init({"-ORBInitRef", "CCO=" + cco->corbaloc()}));
        ASSERT_TRUE(CorbaCommon::OrbHandler::Instance().ConnectToCCO(2, 500));
    }
    void startWatcher(int attemptLimit = 10)
    {
        watcher = std::make_unique<CCOWatcher>(pollMs, attemptLimit, category);
        watcher->installEventFilter(&armedTimers);
        QObject::connect(watcher.get(), &CCOWatcher::resultListChanged, watcher.get(),
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
    // The next poll is held at its first category lookup until `change` is done, so the watcher sees
    // the state before or after the whole change, never a part of it.
    void changeBetweenPolls(const std::function<void()> &change)
    {
        ASSERT_TRUE(cco->command("fault hang ResolveValues@" + objectPath("SubA", "").chopped(1)));
        ASSERT_TRUE(waitForPolls(1));
        change();
        ASSERT_TRUE(cco->command("fault clear"));
    }

    std::unique_ptr<testsupport::ServerProcess> cco;
    ArmedTimers armedTimers;
    QList<List> published;
    std::unique_ptr<CCOWatcher> watcher;
};
}

TEST_F(WatcherTest, FindsObjectsOfEverySubsystemInOrderAndPublishesOnlyChanges)
{
    startCco();
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

TEST_F(WatcherTest, CcoOutagePublishesAnEmptyListAndRestartTheFullListAgain)
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
    cco = testsupport::startCcoServer(QStringList {"--subsystems", "SubA,SubB", "--subsystem", "SubA"} + keep);
    ASSERT_TRUE(cco->ready()) << cco->errorText().toStdString();
    ASSERT_TRUE(waitForPublished(3, 10000));
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
        armedTimers.count = 0;
        startWatcher(limit);
        ASSERT_TRUE(waitUntil([&] { return armedTimers.count >= limit + 2; }, 3000)) << limit;
        EXPECT_FALSE(waitUntil([&] { return armedTimers.count > limit + 2; }, 10 * pollMs)) << limit;
    }
    EXPECT_TRUE(published.isEmpty());
}

TEST_F(WatcherTest, DestructionWaitsForTheRunningQuery)
{
    startCco();
    const QString slowPath = objectPath("SubA", "Rx1");
    bindValues(slowPath, {"a"});
    startWatcher();
    ASSERT_TRUE(waitForPublished(1));
    ASSERT_TRUE(cco->command("fault delay ResolveValues@" + slowPath + " 1500"));
    ASSERT_TRUE(waitForPolls(1)); // a poll that starts now is held at Rx1 for 1.5 s
    const int before = cco->countLines("CALL ResolveValues " + slowPath + " ");
    QElapsedTimer clock;
    clock.start();
    watcher.reset();
    EXPECT_GE(clock.elapsed(), 1000);
    EXPECT_LT(clock.elapsed(), 3000);
    // The delayed call was answered before the destructor returned, and no poll came after it.
    syncLog(*cco);
    EXPECT_EQ(cco->countLines("CALL ResolveValues " + slowPath + " "), before + 1);
    const int after = cco->countLines("CALL GetSubSystems");
    EXPECT_FALSE(waitUntil([&] { return cco->countLines("CALL GetSubSystems") > after; }, 5 * pollMs));
}

TEST_F(WatcherTest, SeesARegistrationReplaceTheOldOneAndItsRemoval)
{
    startCco();
    TraceRecorder traces;
    startWatcher();
    const QString path = objectPath("SubB", "RxR");
    const QString notFound = "CCORegistration::unregisterValues:EXCEPTION: CosNaming::NamingContext::NotFound";

    // Nothing is registered yet: the removal's NotFound is traced and the registration goes ahead,
    // in Latin-1.
    CCORegistration::registerAtCCO(path, {QStringLiteral("Empfänger"), QStringLiteral("€5")});
    ASSERT_TRUE(waitUntil([&] { return !resolveValues(path).isEmpty(); }));
    EXPECT_EQ(resolveValues(path), (Bytes {"Empf\xe4nger", "?5"}));
    EXPECT_EQ(traces.count(notFound), 1);

    CCORegistration::registerAtCCO(path, {"hostR", "77"});
    EXPECT_TRUE(waitForLast(List {Entry("RxR", {"hostR", "77"})}));
    EXPECT_EQ(traces.count(notFound), 1);
    CCORegistration::unregisterFromCCO(path);
    EXPECT_TRUE(waitForLast(List()));
}

using LocateTest = WatcherTest;
struct LocateAccess : CCOLocateRegistration
{
    using CCOLocateRegistration::setSecondForTests;
};

TEST_F(LocateTest, TakesTheFirstFreeNumberAfterRemovingOwnAndInvalidEntriesOnly)
{
    LocateAccess::setSecondForTests(5); // keeps the waits and the random delay short
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
    {
        CCOLocateRegistration registration("myHost", "Dev", "info", 80, "Locate%1", true);
        ASSERT_TRUE(registration.wait(20000));
    }
    EXPECT_EQ(traces.count("Successfully registered device for locate myHost, Dev, info, 80, 2"), 1);
    EXPECT_EQ(resolveValues(slot(2)), (Bytes {"myHost", "myHost_Dev", "info", "80"}));
    EXPECT_EQ(resolveValues(slot(1)), other);
    EXPECT_EQ(resolveValues(slot(3)), paddedPort);
    EXPECT_TRUE(resolveValues(slot(4)).isEmpty());
    EXPECT_TRUE(resolveValues(slot(5)).isEmpty());
    EXPECT_EQ(resolveValues(slot(6)), otherPort);
}

TEST(Locate, DestructorStopsARegistrationThatIsStillWaiting)
{
    // Real seconds and no ORB: every attempt would wait 9 s for the ORB and 9 s for the CCO.
    TraceRecorder traces;
    QElapsedTimer clock;
    clock.start();
    {
        CCOLocateRegistration registration("myHost", "Dev", "info", 80, "Locate%1", true);
        ASSERT_TRUE(waitUntil([&] { return registration.isRunning(); }, 1000));
    }
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_EQ(traces.count("stop requested"), 1);
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
        const QByteArray host = "host" + QByteArray::number(i);
        EXPECT_TRUE(numbers.insert(number).second) << "number " << number << " reported twice";
        EXPECT_EQ(resolveValues(slot(number)), (Bytes {host, host + "_Dev", "info", QByteArray::number(4000 + i)}));
    }
    for (int i = 1; i <= 10; ++i)
        EXPECT_EQ(!resolveValues(slot(i)).isEmpty(), numbers.count(i) == 1) << "number " << i;
    EXPECT_GE(numbers.size(), 1u);
}
