// The driver's start-up chain against a real ORB and a cco-server in a
// separate process. The ORB is process-wide, so every test runs in a
// process of its own (see CMakeLists.txt).
#include "drivertestutil.h"
#include "serverprocess.h"
#include "waituntil.h"

#include "externalccodriver.h"
#include "orbconnection.h"
#include "orbhandler.h"

#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <omnithread.h>
#include <thread>

extern "C" IDllInstance *ZRCreate(const wchar_t *name);
extern "C" void ZRDestroy(IDllInstance *instance);

using CorbaCommon::OrbHandler;
using drivertest::Config;
using drivertest::timersOf;
using drivertest::TraceLog;
using testsupport::waitUntil;

namespace
{
const QString reached = QStringLiteral("ExternalCCODriver::InitMatrixManager");

QObject *asObject(IDllInstance *instance)
{
    return static_cast<ExternalCCODriver *>(instance);
}

bool bringUpOrb(const QString &ccoCorbaloc)
{
    return OrbHandler::Instance().Init({QStringLiteral("-ORBInitRef"), QStringLiteral("CCO=") + ccoCorbaloc});
}
}

TEST(DriverStartup, OrbThatComesUpLaterIsPickedUpAndTheCcoTriedOnTheSameTick)
{
    TraceLog log;
    Config config({{QStringLiteral("Drv"), {{QStringLiteral("ReconnectTimer"), QStringLiteral("100")}}}});
    auto cco = testsupport::startCcoServer();
    ASSERT_TRUE(cco->ready()) << qPrintable(cco->errorText());

    IDllInstance *instance = ZRCreate(L"Drv");
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(instance->instanceName, QStringLiteral("Drv"));
    auto timers = timersOf(asObject(instance));
    ASSERT_EQ(timers.size(), 1);
    EXPECT_EQ(timers.at(0).interval, 100);
    EXPECT_EQ(timers.at(0).timerType, Qt::CoarseTimer);

    // Ticks without an ORB change nothing.
    QTest::qWait(350);
    EXPECT_EQ(log.count(reached), 0);
    EXPECT_EQ(timersOf(asObject(instance)).size(), 1);

    ASSERT_TRUE(bringUpOrb(cco->corbaloc()));
    EXPECT_TRUE(waitUntil([&] { return log.count(reached) == 1; }, 5000)) << qPrintable(log.all());
    EXPECT_EQ(log.count(QStringLiteral("waiting for the CCO")), 0);
    // No timer is left that could reach InitMatrixManager again.
    EXPECT_TRUE(timersOf(asObject(instance)).isEmpty());

    ZRDestroy(instance);
}

TEST(DriverStartup, CcoStartedLaterIsPickedUpAndInitMatrixManagerReachedOnce)
{
    TraceLog log;
    Config config({{QStringLiteral("Drv"), {{QStringLiteral("ReconnectTimer"), QStringLiteral("100")}}}});
    drivertest::ReservedPort port;
    ASSERT_TRUE(bringUpOrb(port.corbaloc()));

    IDllInstance *instance = ZRCreate(L"Drv");
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(log.count(QStringLiteral("waiting for the CCO")), 1);
    EXPECT_EQ(log.count(reached), 0);
    EXPECT_EQ(timersOf(asObject(instance)).size(), 1);

    port.release();
    auto cco = testsupport::startCcoServer({QStringLiteral("--port"), QString::number(port.port())});
    ASSERT_TRUE(cco->ready()) << qPrintable(cco->errorText());
    EXPECT_TRUE(waitUntil([&] { return log.count(reached) == 1; }, 10000)) << qPrintable(log.all());
    EXPECT_TRUE(timersOf(asObject(instance)).isEmpty());
    QTest::qWait(300);
    EXPECT_EQ(log.count(reached), 1);

    ZRDestroy(instance);
}

TEST(DriverStartup, ConfigurationKeysAndTheirDefaults)
{
    TraceLog log;
    Config config({{QStringLiteral("Tuned"),
        {{QStringLiteral("ReconnectTimer"), QStringLiteral("100")},
            {QStringLiteral("ValuePath"), QStringLiteral("/DEVICES/R2")},
            {QStringLiteral("AntennaMatrixDriver"), QStringLiteral("true")}}}});

    // Without the keys: 2000 ms retries...
    IDllInstance *plain = ZRCreate(L"Plain");
    auto timers = timersOf(asObject(plain));
    ASSERT_EQ(timers.size(), 1);
    EXPECT_EQ(timers.at(0).interval, 2000);
    ZRDestroy(plain);

    auto cco = testsupport::startCcoServer();
    ASSERT_TRUE(cco->ready()) << qPrintable(cco->errorText());
    ASSERT_TRUE(bringUpOrb(cco->corbaloc()));

    // ...the default value path, and no antenna side, so the ORBConnection
    // thread is not started.
    plain = ZRCreate(L"Plain");
    EXPECT_EQ(log.count(QStringLiteral("value path /DEVICES/KRV4, antenna matrix side off")), 1)
        << qPrintable(log.all());
    EXPECT_FALSE(ORBConnection::instance()->isRunning() || ORBConnection::instance()->isFinished());

    IDllInstance *tuned = ZRCreate(L"Tuned");
    EXPECT_EQ(log.count(QStringLiteral("value path /DEVICES/R2, antenna matrix side on")), 1) << qPrintable(log.all());
    EXPECT_TRUE(ORBConnection::instance()->wait(5000));
    EXPECT_TRUE(ORBConnection::instance()->isFinished());

    ZRDestroy(tuned);
    ZRDestroy(plain);
}

TEST(DriverStartup, DestroyingWhileARetryTimerRunsLeavesNoTimer)
{
    TraceLog log;
    Config config({{QStringLiteral("Drv"), {{QStringLiteral("ReconnectTimer"), QStringLiteral("50")}}}});

    // Waiting for the ORB, then (ORB up, nothing on the port) for the CCO.
    IDllInstance *waitingForOrb = ZRCreate(L"Drv");
    QObject *first = asObject(waitingForOrb);
    ASSERT_EQ(timersOf(first).size(), 1);
    ZRDestroy(waitingForOrb);
    EXPECT_TRUE(timersOf(first).isEmpty());

    drivertest::ReservedPort nothingThere;
    ASSERT_TRUE(bringUpOrb(nothingThere.corbaloc()));
    IDllInstance *waitingForCco = ZRCreate(L"Drv");
    QObject *second = asObject(waitingForCco);
    ASSERT_EQ(timersOf(second).size(), 1);
    ZRDestroy(waitingForCco);
    EXPECT_TRUE(timersOf(second).isEmpty());

    const int traces = log.size();
    QTest::qWait(200);
    EXPECT_EQ(log.size(), traces) << qPrintable(log.all());
}

TEST(OrbConnection, AsksUntilTheFirstTrueAndNeverAfter)
{
    auto cco = testsupport::startCcoServer();
    ASSERT_TRUE(cco->ready()) << qPrintable(cco->errorText());

    ORBConnection *connection = ORBConnection::instance();
    EXPECT_FALSE(connection->isOrbAvailable());
    ASSERT_TRUE(bringUpOrb(cco->corbaloc()));
    EXPECT_TRUE(connection->isOrbAvailable());

    // The handler now says false, but the first true answer is kept.
    OrbHandler::Instance().Shutdown();
    ASSERT_FALSE(OrbHandler::Instance().orbIsAvailable());
    EXPECT_TRUE(connection->isOrbAvailable());

    // Taken into service again, it starts from the handler's answer.
    ORBConnection::destroyInstance();
    EXPECT_EQ(ORBConnection::instance(), connection);
    EXPECT_FALSE(connection->isOrbAvailable());
    ORBConnection::destroyInstance();
}

TEST(OrbConnection, ResolvesNamesAtTheCcoAsLatin1)
{
    auto cco = testsupport::startCcoServer();
    ASSERT_TRUE(cco->ready()) << qPrintable(cco->errorText());
    ASSERT_TRUE(bringUpOrb(cco->corbaloc()));
    ORBConnection *connection = ORBConnection::instance();
    ASSERT_TRUE(connection->connectToCCO());

    const QString name = QStringLiteral("DriverTest/Pr\u00fcfplatz/IF_X");
    {
        CCO::IF_CCO_c_var ref = connection->getCCO();
        ASSERT_FALSE(CORBA::is_nil(ref));
        ref->Register(name.toLatin1().constData(), ref.in(), CCO::RT_Single);
    }

    bool ok = false;
    CORBA::Object_var found = connection->resolveInterface(name, &ok);
    EXPECT_TRUE(ok);
    EXPECT_FALSE(CORBA::is_nil(found));

    ok = true;
    CORBA::Object_var missing = connection->resolveInterface(QStringLiteral("DriverTest/Nothing"), &ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(CORBA::is_nil(missing));
    ORBConnection::destroyInstance();
}

// A watcher or registration keeps the pointer it took from instance() and
// uses it from its own thread while the host destroys and recreates driver
// instances, each of which destroys the process-wide connection.
TEST(OrbConnection, PointersHeldAcrossDestroyInstanceStayUsable)
{
    Config config({{QStringLiteral("Drv"), {{QStringLiteral("AntennaMatrixDriver"), QStringLiteral("true")}}}});
    auto cco = testsupport::startCcoServer();
    ASSERT_TRUE(cco->ready()) << qPrintable(cco->errorText());
    ASSERT_TRUE(bringUpOrb(cco->corbaloc()));

    ORBConnection *held = ORBConnection::instance();
    std::atomic<bool> stop {false};
    std::atomic<int> calls {0};
    std::thread holder([&] {
        omni_thread::ensure_self self;
        while (!stop) {
            held->isOrbAvailable();
            if (held->connectToCCO()) {
                try {
                    CCO::IF_CCO_c_var ref = held->getCCO();
                    if (!CORBA::is_nil(ref))
                        CORBA::String_var system = ref->GetSystemName();
                } catch (const CORBA::Exception &) {
                    // Only the holder's pointer is under test here.
                }
            }
            ++calls;
        }
    });

    // Each instance starts the connection's thread (antenna side on) and
    // destroys the connection with it.
    for (int i = 0; i < 20; ++i) {
        IDllInstance *instance = ZRCreate(L"Drv");
        ASSERT_NE(instance, nullptr);
        ZRDestroy(instance);
    }
    EXPECT_TRUE(waitUntil([&] { return calls > 20; }, 10000));
    stop = true;
    holder.join();

    EXPECT_EQ(ORBConnection::instance(), held);
    ORBConnection::destroyInstance();
}
