// The driver's start-up chain against a real ORB and a cco-server in a
// separate process. The ORB is process-wide, so every test runs in a
// process of its own (see CMakeLists.txt).
#include "drivertestutil.h"
#include "serverprocess.h"
#include "waituntil.h"

#include "externalccodriver.h"
#include "orbconnection.h"
#include "orbhandler.h"
#include "tree.h"
#include "value.h"
#include "valueselection.h"

#include <QTest>
#include <QTimerEvent>

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
QObject *asObject(IDllInstance *instance)
{
    return static_cast<ExternalCCODriver *>(instance);
}

bool bringUpOrb(const QString &ccoCorbaloc)
{
    return OrbHandler::Instance().Init({QStringLiteral("-ORBInitRef"), QStringLiteral("CCO=") + ccoCorbaloc});
}

// The start-up waits trace nothing, so the tests count the driver's ticks.
class TickCountingDriver : public ExternalCCODriver
{
public:
    explicit TickCountingDriver(QString name)
        : ExternalCCODriver(std::move(name))
    {
    }
    int ticks = 0;

protected:
    void timerEvent(QTimerEvent *event) override
    {
        ++ticks;
        ExternalCCODriver::timerEvent(event);
    }
};

bool orbThreadStarted()
{
    return ORBConnection::instance()->isRunning() || ORBConnection::instance()->isFinished();
}

// ANTENNA and HARDWARESTATUS of a receiver whose hardware does not run:
// the antenna start-up then succeeds without a matrix manager and puts
// USINGANTENNAMATRIX in place below `path`. Without HARDWARESTATUS it is
// retried.
void addSelection(const QString &path, const QString &name)
{
    auto *selection = new values::ValueSelection;
    selection->SetName(name, nullptr);
    ASSERT_TRUE(values::Tree::Create()->AddValue(path, selection));
}
}

TEST(DriverStartup, OrbThatComesUpLaterIsPickedUpAndTheCcoTriedOnTheSameTick)
{
    Config config({{QStringLiteral("Drv"), {{QStringLiteral("ReconnectTimer"), QStringLiteral("100")}}}});
    auto cco = testsupport::startCcoServer();
    ASSERT_TRUE(cco->ready()) << qPrintable(cco->errorText());

    TickCountingDriver driver(QStringLiteral("Drv"));
    driver.Init();
    auto timers = timersOf(&driver);
    ASSERT_EQ(timers.size(), 1);
    EXPECT_EQ(timers.at(0).interval, 100);
    EXPECT_EQ(timers.at(0).timerType, Qt::CoarseTimer);

    // Ticks without an ORB change nothing.
    ASSERT_TRUE(waitUntil([&] { return driver.ticks >= 3; }, 2000));
    EXPECT_EQ(timersOf(&driver).size(), 1);

    ASSERT_TRUE(bringUpOrb(cco->corbaloc()));
    const int ticksBefore = driver.ticks;
    ASSERT_TRUE(waitUntil([&] { return timersOf(&driver).isEmpty(); }, 5000));
    // The tick that found the ORB reached the CCO as well: no CCO timer was
    // needed, and no timer is left that could reach InitMatrixManager again.
    EXPECT_EQ(driver.ticks, ticksBefore + 1);
    EXPECT_FALSE(orbThreadStarted()) << "antenna side off";
}

TEST(DriverStartup, CcoStartedLaterIsPickedUpAndTheWaitEnds)
{
    TraceLog log;
    Config config({{QStringLiteral("Drv"), {{QStringLiteral("ReconnectTimer"), QStringLiteral("100")}}}});
    drivertest::ReservedPort port;
    ASSERT_TRUE(bringUpOrb(port.corbaloc()));

    TickCountingDriver driver(QStringLiteral("Drv"));
    driver.Init();
    ASSERT_EQ(timersOf(&driver).size(), 1) << "waiting for the CCO";
    ASSERT_TRUE(waitUntil([&] { return driver.ticks >= 2; }, 2000));
    EXPECT_EQ(timersOf(&driver).size(), 1);

    port.release();
    auto cco = testsupport::startCcoServer({QStringLiteral("--port"), QString::number(port.port())});
    ASSERT_TRUE(cco->ready()) << qPrintable(cco->errorText());
    EXPECT_TRUE(waitUntil([&] { return timersOf(&driver).isEmpty(); }, 10000));
    const int ticks = driver.ticks;
    QTest::qWait(300);
    EXPECT_EQ(driver.ticks, ticks);
    // Retrying the ORB and the CCO is silent.
    EXPECT_EQ(log.size(), 0) << qPrintable(log.all());
}

TEST(DriverStartup, ConfigurationKeysAndTheirDefaults)
{
    TraceLog log;
    Config config({{QStringLiteral("Tuned"),
                       {{QStringLiteral("ReconnectTimer"), QStringLiteral("100")},
                           {QStringLiteral("ValuePath"), QStringLiteral("/DEVICES/R2")},
                           {QStringLiteral("AntennaMatrixDriver"), QStringLiteral("true")}}},
        {QStringLiteral("AntennaOnly"), {{QStringLiteral("AntennaMatrixDriver"), QStringLiteral("true")}}}});
    addSelection(QStringLiteral("/DEVICES/KRV4"), QStringLiteral("ANTENNA"));
    addSelection(QStringLiteral("/DEVICES/KRV4"), QStringLiteral("HARDWARESTATUS"));
    addSelection(QStringLiteral("/DEVICES/R2"), QStringLiteral("ANTENNA"));
    values::Tree *tree = values::Tree::Instance();

    // Without the keys: 2000 ms retries...
    IDllInstance *plain = ZRCreate(L"Plain");
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->instanceName, QStringLiteral("Plain"));
    auto timers = timersOf(asObject(plain));
    ASSERT_EQ(timers.size(), 1);
    EXPECT_EQ(timers.at(0).interval, 2000);
    ZRDestroy(plain);

    auto cco = testsupport::startCcoServer();
    ASSERT_TRUE(cco->ready()) << qPrintable(cco->errorText());
    ASSERT_TRUE(bringUpOrb(cco->corbaloc()));

    // ...and no antenna side, so neither the ORBConnection thread nor
    // AntennaComm is started.
    plain = ZRCreate(L"Plain");
    EXPECT_TRUE(timersOf(asObject(plain)).isEmpty());
    EXPECT_FALSE(orbThreadStarted());
    EXPECT_EQ(tree->FindValue(QStringLiteral("/DEVICES/KRV4/USINGANTENNAMATRIX")), nullptr);

    // The antenna side on its own gets the default value path...
    IDllInstance *antennaOnly = ZRCreate(L"AntennaOnly");
    EXPECT_TRUE(ORBConnection::instance()->wait(5000));
    EXPECT_TRUE(ORBConnection::instance()->isFinished());
    EXPECT_NE(tree->FindValue(QStringLiteral("/DEVICES/KRV4/USINGANTENNAMATRIX")), nullptr);
    EXPECT_TRUE(timersOf(asObject(antennaOnly)).isEmpty()) << "stopped hardware: no matrix lookup, nothing to retry";

    // ...and a configured one the configured path and interval.
    IDllInstance *tuned = ZRCreate(L"Tuned");
    timers = timersOf(asObject(tuned));
    ASSERT_EQ(timers.size(), 1) << "HARDWARESTATUS missing: the antenna start-up is retried";
    EXPECT_EQ(timers.at(0).interval, 100);
    addSelection(QStringLiteral("/DEVICES/R2"), QStringLiteral("HARDWARESTATUS"));
    EXPECT_TRUE(waitUntil([&] { return timersOf(asObject(tuned)).isEmpty(); }, 2000));
    EXPECT_NE(tree->FindValue(QStringLiteral("/DEVICES/R2/USINGANTENNAMATRIX")), nullptr);

    ZRDestroy(tuned);
    ZRDestroy(antennaOnly);
    ZRDestroy(plain);
    EXPECT_EQ(tree->FindValue(QStringLiteral("/DEVICES/KRV4/USINGANTENNAMATRIX")), nullptr);
    EXPECT_EQ(log.count(QStringLiteral("ExternalCCODriver")), 0) << qPrintable(log.all());
    values::Tree::Destroy();
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
