// CCORegistration against a cco-server process: one removal before each
// registration, Latin-1 on the wire, bounded retries, and a request that
// leaves neither its thread nor its object behind.
#include "ccoregistration.h"
#include "discoverytestsupport.h"
#include "serverprocess.h"
#include "waituntil.h"

#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

using externalCCODriver::CCORegistration;
using testsupport::waitUntil;
using namespace discoverytest;

namespace
{
class RegistrationAccess : public CCORegistration
{
public:
    using CCORegistration::setRetryIntervalForTests;
    using CCORegistration::setStartHookForTests;
};

// Follows every request started while it exists: its thread's name, its
// retry timer, finished(), and the destruction of its object and thread.
class RequestTracker
{
public:
    RequestTracker()
    {
        clock.start();
        RegistrationAccess::setStartHookForTests([this](CCORegistration *request) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                threadNames.append(request->thread()->objectName());
                timerIntervals.append(request->findChild<QTimer *>()->interval());
                startedAt = clock.elapsed();
            }
            QObject::connect(request->findChild<QTimer *>(), &QTimer::timeout, [this] { ++retries; });
            QObject::connect(request, &CCORegistration::finished, [this] {
                finishedAt = clock.elapsed();
                ++finished;
            });
            QObject::connect(request, &QObject::destroyed, [this] { ++objectsDestroyed; });
            QObject::connect(request->thread(), &QObject::destroyed, [this] { ++threadsDestroyed; });
        });
    }
    ~RequestTracker() { RegistrationAccess::setStartHookForTests({}); }

    bool waitForRequestsGone(int count, int timeoutMs = 5000)
    {
        return waitUntil(
            [&] { return threadsDestroyed.load() >= count && objectsDestroyed.load() >= count; }, timeoutMs);
    }
    QStringList names()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return threadNames;
    }

    QElapsedTimer clock;
    std::mutex mutex;
    QStringList threadNames;
    QList<int> timerIntervals;
    std::atomic<qint64> startedAt {0};
    std::atomic<qint64> finishedAt {0};
    std::atomic<int> retries {0};
    std::atomic<int> finished {0};
    std::atomic<int> objectsDestroyed {0};
    std::atomic<int> threadsDestroyed {0};
};

class RegistrationTest : public ::testing::Test
{
protected:
    void TearDown() override { RegistrationAccess::setRetryIntervalForTests(0); }

    void startCco()
    {
        cco = testsupport::startCcoServer({"--subsystems", "SubA", "--subsystem", "SubA"});
        ASSERT_TRUE(cco->ready()) << cco->errorText().toStdString();
        ASSERT_TRUE(initOrb(cco->corbaloc()));
    }

    std::unique_ptr<testsupport::ServerProcess> cco;
};
}

TEST_F(RegistrationTest, RemovesBeforeEachRegistrationAndSendsLatin1)
{
    startCco();
    TraceRecorder traces;
    RequestTracker tracker;
    const QString path = objectPath("SubA", "RxL");
    const QString notFound = "CCORegistration::unregisterValues:EXCEPTION: CosNaming::NamingContext::NotFound";

    // Nothing is registered yet: the removal's NotFound is traced and the
    // registration goes ahead, without the timer.
    CCORegistration::registerAtCCO(path, {QStringLiteral("Empfänger"), QStringLiteral("€5"), QString()});
    ASSERT_TRUE(tracker.waitForRequestsGone(1));
    ASSERT_GE(syncLog(*cco), 0);
    EXPECT_EQ(resolveValues(path), (QList<QByteArray> {"Empf\xe4nger", "?5", ""}));
    EXPECT_EQ(traces.count(notFound), 1);
    EXPECT_EQ(cco->countLines("CALL UnregisterValues " + path), 1);
    EXPECT_EQ(cco->countLines("CALL RegisterValues " + path), 1);
    EXPECT_LT(cco->waitForLine("CALL UnregisterValues " + path, 0), cco->waitForLine("CALL RegisterValues " + path, 0));

    // A second registration replaces the first: no AlreadyBound.
    CCORegistration::registerAtCCO(path, {"b"});
    ASSERT_TRUE(tracker.waitForRequestsGone(2));
    ASSERT_GE(syncLog(*cco), 0);
    EXPECT_EQ(resolveValues(path), (QList<QByteArray> {"b"}));
    EXPECT_EQ(traces.count(notFound), 1);
    EXPECT_EQ(traces.count("AlreadyBound"), 0);

    // An empty list still makes the call.
    const QString emptyPath = objectPath("SubA", "RxEmpty");
    CCORegistration::registerAtCCO(emptyPath, {});
    CCORegistration::unregisterFromCCO(path);
    ASSERT_TRUE(tracker.waitForRequestsGone(4));
    ASSERT_GE(syncLog(*cco), 0);
    EXPECT_TRUE(resolveValues(path).isEmpty());
    EXPECT_EQ(cco->countLines("CALL UnregisterValues " + path), 3);
    EXPECT_GE(cco->waitForLine("CALL RegisterValues " + emptyPath, 0), 0);
    EXPECT_EQ(traces.count("CCORegistration::registerValues"), 0);

    EXPECT_EQ(tracker.finished.load(), 4);
    EXPECT_EQ(tracker.retries.load(), 0);
    QStringList names = tracker.names();
    names.sort();
    EXPECT_EQ(names,
        (QStringList {"CCORegistrationThread_register", "CCORegistrationThread_register",
            "CCORegistrationThread_register", "CCORegistrationThread_unregister"}));
}

TEST_F(RegistrationTest, FailuresOfTheCallAreTracedAndEndTheRequest)
{
    startCco();
    TraceRecorder traces;
    RequestTracker tracker;
    const QString path = objectPath("SubA", "RxF");
    ASSERT_TRUE(cco->command("fault raise RegisterValues@" + path + " AlreadyBound"));
    ASSERT_TRUE(cco->command("fault raise UnregisterValues@" + path + " RedundancyTypeNotSupported"));
    CCORegistration::registerAtCCO(path, {"a"});
    ASSERT_TRUE(tracker.waitForRequestsGone(1));
    EXPECT_EQ(traces.count("CCORegistration::registerValues:EXCEPTION: CosNaming::NamingContext::AlreadyBound"), 1);
    EXPECT_EQ(traces.count("CCORegistration::unregisterValues:EXCEPTION: "
                           "CCO::IF_CCO_c_Naming::RedundancyTypeNotSupported"),
        1);

    ASSERT_TRUE(cco->command("fault raise UnregisterValues@" + path + " NO_RESOURCES"));
    CCORegistration::unregisterFromCCO(path);
    ASSERT_TRUE(tracker.waitForRequestsGone(2));
    EXPECT_EQ(traces.count("CCORegistration::unregisterValues:EXCEPTION: CORBA::Exception"), 1);
    EXPECT_EQ(tracker.finished.load(), 2);
}

TEST_F(RegistrationTest, RequestWithoutOrbEndsAfterElevenChecksAndLeavesNothing)
{
    // The ORB of this process is never brought up.
    RegistrationAccess::setRetryIntervalForTests(100);
    // A sanitizer runtime may start a helper thread along with the first
    // thread of the process; let it do so before counting.
    std::thread([] {}).join();
    const int threadsBefore = threadCount();
    RequestTracker tracker;
    CCORegistration::registerAtCCO(QStringLiteral("CCO/LocalSystem/Nowhere"), {"a"});
    ASSERT_TRUE(tracker.waitForRequestsGone(1, 5000));
    EXPECT_EQ(tracker.finished.load(), 1);
    // Eleven checks with ten waits of the retry timer between them.
    EXPECT_EQ(tracker.retries.load(), 10);
    EXPECT_GE(tracker.finishedAt - tracker.startedAt, 10 * 100 * 95 / 100);
    EXPECT_TRUE(waitUntil([&] { return threadCount() == threadsBefore; }, 2000));
}

TEST_F(RegistrationTest, RequestWhoseCcoNeverAnswersEndsAfterElevenCcoChecks)
{
    ASSERT_TRUE(initOrb(QStringLiteral("corbaloc::127.0.0.1:%1/CCO").arg(testsupport::freeLoopbackPort()), false));
    RegistrationAccess::setRetryIntervalForTests(50);
    TraceRecorder traces;
    RequestTracker tracker;
    CCORegistration::unregisterFromCCO(QStringLiteral("CCO/LocalSystem/Nowhere"));
    ASSERT_TRUE(tracker.waitForRequestsGone(1, 20000));
    EXPECT_EQ(tracker.finished.load(), 1);
    EXPECT_EQ(tracker.retries.load(), 10);
    // Given up without a trace and without a CCO call.
    EXPECT_EQ(traces.count("CCORegistration"), 0);
}
