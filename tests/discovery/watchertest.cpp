// CCOWatcher against a cco-server process: what it finds, when it publishes,
// how it gives up, and how it ends.
#include "ccoregistration.h"
#include "ccowatcher.h"
#include "discoverytestsupport.h"
#include "orbconnection.h"
#include "serverprocess.h"
#include "waituntil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaMethod>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <gtest/gtest.h>

#include <memory>

using externalCCODriver::CCOWatcher;
using testsupport::ServerProcess;
using testsupport::waitUntil;
using namespace discoverytest;
using Entry = QPair<QString, QStringList>;
using List = CCOWatcher::CCOValuesList;

namespace
{
constexpr int pollMs = 50;

// Receives the list by the signal's signature, as a consumer that connects
// with SIGNAL()/SLOT() does; works only if the type is registered under the
// name the signature uses.
class SignatureReceiver : public QObject
{
    Q_OBJECT
public:
    QList<List> received;
public Q_SLOTS:
    void onList(const externalCCODriver::CCOWatcher::CCOValuesList &list) { received.append(list); }
};

// Counts the single-shot timers that the watcher arms, one per poll: each
// becomes the watcher's child when it is armed.
class ArmedTimers : public QObject
{
public:
    int count = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::ChildAdded && qobject_cast<QTimer *>(static_cast<QChildEvent *>(event)->child()))
            ++count;
        return false;
    }
};

class WatcherTest : public ::testing::Test
{
protected:
    void startCco(const QStringList &extra = {})
    {
        cco = testsupport::startCcoServer(QStringList {"--subsystems", "SubA,SubB", "--subsystem", "SubA"} + extra);
        ASSERT_TRUE(cco->ready()) << cco->errorText().toStdString();
        ASSERT_TRUE(initOrb(cco->corbaloc()));
    }

    void startWatcher(int attemptLimit = 10)
    {
        watcher = std::make_unique<CCOWatcher>(pollMs, attemptLimit, category);
        watcher->installEventFilter(&armedTimers);
        QObject::connect(watcher.get(), &CCOWatcher::resultListChanged, &context,
            [this](const List &list) { published.append(list); });
        watcher->init();
    }

    bool waitForPublished(int count, int timeoutMs = 5000)
    {
        return waitUntil([&] { return published.size() >= count; }, timeoutMs);
    }

    // Waits until the server has served `polls` further polls (each begins
    // with GetSubSystems) and the watcher's signals up to then have arrived.
    bool waitForPolls(int polls, int timeoutMs = 5000)
    {
        const int from = syncLog(*cco);
        const bool ok
            = from >= 0 && waitUntil([&] { return cco->countLines("CALL GetSubSystems", from) >= polls; }, timeoutMs);
        QCoreApplication::processEvents();
        return ok;
    }

    // Runs `change` while no poll can read the CCO, so that the watcher sees
    // the state before or after the whole change, never a part of it: the
    // next poll is held at its first category lookup until `change` is done.
    void changeBetweenPolls(const std::function<void()> &change)
    {
        const QString gate = objectPath("SubA", "").chopped(1);
        ASSERT_TRUE(cco->command("fault hang ResolveValues@" + gate));
        ASSERT_TRUE(waitForPolls(1));
        change();
        ASSERT_TRUE(cco->command("fault clear"));
    }

    List lastPublished() const { return published.isEmpty() ? List() : published.last(); }

    std::unique_ptr<ServerProcess> cco;
    QObject context;
    ArmedTimers armedTimers;
    QList<List> published;
    std::unique_ptr<CCOWatcher> watcher;
};

int timerChildren(const QObject *object, bool activeOnly = false)
{
    int count = 0;
    for (const QTimer *timer : object->findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly))
        count += !activeOnly || timer->isActive();
    return count;
}
}

TEST_F(WatcherTest, FindsObjectsOfEverySubsystemInOrderAndPublishesEachResultOnce)
{
    startCco();
    // SubB is listed after SubA, so its objects come later although they
    // were registered first; the same name in two subsystems gives two
    // entries. Values are read back as UTF-8.
    ASSERT_TRUE(bindValues(objectPath("SubB", "Rx3"), {"hostB", "ws2_Rx3", "info", "3003"}));
    ASSERT_TRUE(bindValues(objectPath("SubB", "Rx1"), {"hostB", "ws2_Rx1", "info", "3001"}));
    ASSERT_TRUE(bindValues(objectPath("SubA", "Rx1"), {"hostA", "Empf\xc3\xa4nger", "info", "2001"}));
    ASSERT_TRUE(bindValues(objectPath("SubA", "Rx2"), {}));

    SignatureReceiver bySignature;
    startWatcher();
    ASSERT_TRUE(QObject::connect(watcher.get(), SIGNAL(resultListChanged(externalCCODriver::CCOWatcher::CCOValuesList)),
        &bySignature, SLOT(onList(externalCCODriver::CCOWatcher::CCOValuesList))));

    ASSERT_TRUE(waitForPublished(1));
    const List expected {
        Entry("Rx1", {"hostA", QStringLiteral("Empfänger"), "info", "2001"}),
        Entry("Rx2", {}),
        Entry("Rx3", {"hostB", "ws2_Rx3", "info", "3003"}),
        Entry("Rx1", {"hostB", "ws2_Rx1", "info", "3001"}),
    };
    EXPECT_EQ(published.first(), expected);

    // An unchanged CCO publishes nothing more.
    ASSERT_TRUE(waitForPolls(5));
    EXPECT_EQ(published.size(), 1);
    // Fired timers do not pile up in the watcher: the pending one and at most
    // one whose disposal is still on its way.
    EXPECT_GE(armedTimers.count, 7);
    EXPECT_LE(timerChildren(watcher.get()), 2);
    ASSERT_EQ(bySignature.received.size(), 1);
    EXPECT_EQ(bySignature.received.first(), expected);
}

TEST_F(WatcherTest, PublishesReorderedEntriesAndReorderedValues)
{
    startCco();
    ASSERT_TRUE(bindValues(objectPath("SubA", "X"), {"x"}));
    ASSERT_TRUE(bindValues(objectPath("SubB", "Y"), {"y1", "y2"}));
    startWatcher();
    ASSERT_TRUE(waitForPublished(1));
    EXPECT_EQ(published.last(), (List {Entry("X", {"x"}), Entry("Y", {"y1", "y2"})}));

    // X moves behind Y: the same entries in another order.
    changeBetweenPolls([] {
        ASSERT_TRUE(unbindValues(objectPath("SubA", "X")));
        ASSERT_TRUE(bindValues(objectPath("SubB", "X"), {"x"}));
    });
    ASSERT_TRUE(waitForPublished(2));
    EXPECT_EQ(published.last(), (List {Entry("Y", {"y1", "y2"}), Entry("X", {"x"})}));

    changeBetweenPolls([] {
        ASSERT_TRUE(unbindValues(objectPath("SubB", "Y")));
        ASSERT_TRUE(bindValues(objectPath("SubB", "Y"), {"y2", "y1"}));
    });
    ASSERT_TRUE(waitForPublished(3));
    EXPECT_EQ(published.last(), (List {Entry("Y", {"y2", "y1"}), Entry("X", {"x"})}));

    ASSERT_TRUE(waitForPolls(3));
    EXPECT_EQ(published.size(), 3);
}

TEST_F(WatcherTest, CcoOutagePublishesEmptyListAndRestartPublishesFullListAgain)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QStringList keep {
        "--port", QString::number(testsupport::freeLoopbackPort()), "--state-file", dir.filePath("cco.state")};
    startCco(keep);
    ASSERT_TRUE(bindValues(objectPath("SubA", "Rx1"), {"h", "h_Rx1", "i", "1"}));
    TraceRecorder traces;
    startWatcher();
    ASSERT_TRUE(waitForPublished(1));
    const List full {Entry("Rx1", {"h", "h_Rx1", "i", "1"})};
    EXPECT_EQ(published.last(), full);

    cco->kill();
    ASSERT_TRUE(waitForPublished(2));
    EXPECT_EQ(published.last(), List());
    EXPECT_GT(traces.count("CCOWatcher::getPathsForAllSubsystems:Exception: CORBA::Exception"), 0);

    cco = testsupport::startCcoServer(QStringList {"--subsystems", "SubA,SubB", "--subsystem", "SubA"} + keep);
    ASSERT_TRUE(cco->ready()) << cco->errorText().toStdString();
    ASSERT_TRUE(waitForPublished(3, 10000));
    EXPECT_EQ(published.last(), full);
    EXPECT_EQ(published.size(), 3);
}

TEST_F(WatcherTest, FallsBackToLocalSubSystemOnlyWhenTheCcoListsNoSubsystem)
{
    startCco({"--subsystems", ""});
    ASSERT_TRUE(bindValues(QStringLiteral("CCO/LocalSystem/LocalSubSystem/%1/Rx1").arg(category), {"h"}));
    TraceRecorder traces;
    startWatcher();
    ASSERT_TRUE(waitForPublished(1));
    EXPECT_EQ(published.last(), (List {Entry("Rx1", {"h"})}));
    syncLog(*cco);
    EXPECT_GT(cco->countLines("CALL ResolveValues CCO/LocalSystem/LocalSubSystem/" + category + " "), 0);

    // A failing listing is not an empty one: no fallback, nothing found.
    ASSERT_TRUE(cco->command("fault raise GetSubSystems NO_RESOURCES"));
    ASSERT_TRUE(waitForPublished(2));
    EXPECT_EQ(published.last(), List());
    EXPECT_GT(traces.count("CCOWatcher::getPathsForAllSubsystems:Exception: CORBA::Exception"), 0);

    ASSERT_TRUE(cco->command("fault clear"));
    ASSERT_TRUE(waitForPublished(3));
    EXPECT_EQ(published.last(), (List {Entry("Rx1", {"h"})}));
}

TEST_F(WatcherTest, ResolveFailuresAreTracedAndGiveEmptyValues)
{
    startCco();
    ASSERT_TRUE(bindValues(objectPath("SubA", "Rx1"), {"a"}));
    ASSERT_TRUE(bindValues(objectPath("SubA", "Rx2"), {"b"}));
    ASSERT_TRUE(cco->command("fault raise ResolveValues@" + objectPath("SubA", "Rx2") + " InvalidName"));
    TraceRecorder traces;
    startWatcher();
    ASSERT_TRUE(waitForPublished(1));
    EXPECT_EQ(published.last(), (List {Entry("Rx1", {"a"}), Entry("Rx2", {})}));
    EXPECT_GT(traces.count("CCOWatcher::resolveValues: InvalidName Exception"), 0);
    // SubB has no category context yet.
    EXPECT_GT(traces.count("CCOWatcher::resolveValues: NamingContext notFound Exception"), 0);

    ASSERT_TRUE(cco->command("fault raise ResolveValues@" + objectPath("SubA", "Rx2") + " TIMEOUT"));
    ASSERT_TRUE(traces.waitFor("CCOWatcher::resolveValues: CCO exception while resolving values."));
    ASSERT_TRUE(cco->command("fault clear"));
    ASSERT_TRUE(waitForPublished(2));
    EXPECT_EQ(published.last(), (List {Entry("Rx1", {"a"}), Entry("Rx2", {"b"})}));
}

// Every poll arms one single-shot timer: the number of timers armed is one
// more than the number of checks made, and it stops growing once the watcher
// has given up.
TEST_F(WatcherTest, GivesUpWithoutOrbOnTheFirstFailedCheckWhenTheLimitIsZero)
{
    // The ORB of this process is never brought up.
    startWatcher(0);
    ASSERT_TRUE(waitUntil([&] { return armedTimers.count >= 2; }, 2000));
    EXPECT_FALSE(waitUntil([&] { return armedTimers.count > 2; }, 10 * pollMs));
    EXPECT_TRUE(published.isEmpty());
}

TEST_F(WatcherTest, GivesUpWithoutOrbAfterLimitPlusOneChecks)
{
    startWatcher(3);
    ASSERT_TRUE(waitUntil([&] { return armedTimers.count >= 5; }, 3000));
    EXPECT_FALSE(waitUntil([&] { return armedTimers.count > 5; }, 10 * pollMs));
    EXPECT_TRUE(published.isEmpty());
    // The last timer fired into the given-up state and went too.
    EXPECT_TRUE(waitUntil([&] { return timerChildren(watcher.get()) == 0; }, 1000));
}

TEST_F(WatcherTest, CountsAgainFromZeroWhileTheCcoIsNotReachable)
{
    // An initial reference to a port where nothing listens: the ORB is up,
    // the CCO never answers. One ORB check, then limit + 1 CCO checks.
    ASSERT_TRUE(initOrb(QStringLiteral("corbaloc::127.0.0.1:%1/CCO").arg(testsupport::freeLoopbackPort()), false));
    startWatcher(2);
    ASSERT_TRUE(waitUntil([&] { return armedTimers.count >= 5; }, 10000));
    EXPECT_FALSE(waitUntil([&] { return armedTimers.count > 5; }, 1500));
    EXPECT_TRUE(published.isEmpty());
}

TEST_F(WatcherTest, DestructionWaitsForTheRunningQuery)
{
    startCco();
    ASSERT_TRUE(bindValues(objectPath("SubA", "Rx1"), {"a"}));
    startWatcher();
    ASSERT_TRUE(waitForPublished(1));

    const QString slowPath = objectPath("SubA", "Rx1");
    ASSERT_TRUE(cco->command("fault delay ResolveValues@" + slowPath + " 1500"));
    // A poll that starts now is held at Rx1 for 1.5 s.
    ASSERT_TRUE(waitForPolls(1));
    const int before = cco->countLines("CALL ResolveValues " + slowPath + " ");
    QElapsedTimer clock;
    clock.start();
    watcher.reset();
    const qint64 waited = clock.elapsed();
    EXPECT_GE(waited, 1000);
    EXPECT_LT(waited, 3000);
    // The delayed call was answered before the destructor returned, and no
    // poll came after it.
    syncLog(*cco);
    EXPECT_EQ(cco->countLines("CALL ResolveValues " + slowPath + " "), before + 1);
    const int after = cco->countLines("CALL GetSubSystems");
    EXPECT_FALSE(waitUntil([&] { return cco->countLines("CALL GetSubSystems") > after; }, 5 * pollMs));
}

TEST_F(WatcherTest, DestructionDropsAQueryStillQueuedInABusyPool)
{
    startCco();
    startWatcher();
    ASSERT_TRUE(waitForPolls(1));

    // Every thread of the global pool is taken, so the next query waits in
    // the pool's queue.
    QThreadPool *pool = QThreadPool::globalInstance();
    const int threads = pool->maxThreadCount();
    QSemaphore started;
    QSemaphore release;
    // Frees the pool when reset, or when the test ends early.
    std::unique_ptr<QSemaphore, std::function<void(QSemaphore *)>> blockers(&release, [&](QSemaphore *semaphore) {
        semaphore->release(threads);
        pool->waitForDone();
    });
    for (int i = 0; i < threads; ++i) {
        QtConcurrent::run(pool, [&] {
            started.release();
            release.acquire();
        });
    }
    ASSERT_TRUE(started.tryAcquire(threads, 5000));
    // Any query that ran has ended now; the next timer that fires queues one.
    ASSERT_TRUE(waitUntil([&] { return timerChildren(watcher.get(), true) == 1; }, 2000));
    ASSERT_TRUE(waitUntil([&] { return timerChildren(watcher.get(), true) == 0; }, 2000));
    ASSERT_GE(syncLog(*cco), 0);
    const int polls = cco->countLines("CALL GetSubSystems");

    // The queued query must not run on this thread while the watcher goes,
    // nor on a pool thread after it has gone.
    QElapsedTimer clock;
    clock.start();
    watcher.reset();
    EXPECT_LT(clock.elapsed(), 1000);
    blockers.reset();
    ASSERT_GE(syncLog(*cco), 0);
    EXPECT_EQ(cco->countLines("CALL GetSubSystems"), polls);
}

TEST_F(WatcherTest, SeesARegistrationAndItsRemoval)
{
    startCco();
    startWatcher();
    ASSERT_TRUE(waitForPolls(2));
    EXPECT_TRUE(published.isEmpty());

    externalCCODriver::CCORegistration::registerAtCCO(objectPath("SubB", "RxR"), {"hostR", "hostR_Rx", "i", "77"});
    ASSERT_TRUE(waitForPublished(1));
    EXPECT_EQ(published.last(), (List {Entry("RxR", {"hostR", "hostR_Rx", "i", "77"})}));

    externalCCODriver::CCORegistration::unregisterFromCCO(objectPath("SubB", "RxR"));
    ASSERT_TRUE(waitForPublished(2));
    EXPECT_EQ(published.last(), List());
}

TEST_F(WatcherTest, KeepsPollingWhenTheDriverDestroysTheOrbConnection)
{
    // The driver instance that made the process-wide connection may go while
    // other modules' watchers and registrations still use it.
    startCco();
    ASSERT_TRUE(bindValues(objectPath("SubA", "Rx1"), {"a"}));
    startWatcher();
    ASSERT_TRUE(waitForPublished(1));

    ORBConnection::destroyInstance();
    ASSERT_TRUE(bindValues(objectPath("SubA", "Rx2"), {"b"}));
    ASSERT_TRUE(waitForPublished(2));
    EXPECT_EQ(published.last(), (List {Entry("Rx1", {"a"}), Entry("Rx2", {"b"})}));

    externalCCODriver::CCORegistration::unregisterFromCCO(objectPath("SubA", "Rx1"));
    ASSERT_TRUE(waitForPublished(3));
    EXPECT_EQ(published.last(), (List {Entry("Rx2", {"b"})}));
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
}

// Other modules connect to these by signature strings.
TEST(DiscoveryMetaObjects, ListTheirSignalsAndSlotsInOrder)
{
    EXPECT_EQ(ownMethods(CCOWatcher::staticMetaObject),
        (QStringList {
            "resultListChanged(externalCCODriver::CCOWatcher::CCOValuesList)", "startTimer()", "queryCCO()"}));
    EXPECT_EQ(ownMethods(externalCCODriver::CCORegistration::staticMetaObject),
        (QStringList {"finished()", "start()", "updateState()"}));
    EXPECT_EQ(CCOWatcher::staticMetaObject.method(CCOWatcher::staticMetaObject.methodOffset()).parameterNames(),
        (QList<QByteArray> {"resultList"}));
}

#include "watchertest.moc"
