// The driver's start-up chain against a real ORB and a cco-server. The ORB is
// process-wide, so every test runs in a process of its own.
#include "drivertestutil.h"
#include "receivertree.h"
#include "serverprocess.h"
#include "waituntil.h"

#include "errorhandler.h"
#include "externalccodriver.h"
#include "orbconnection.h"
#include "orbhandler.h"
#include "orbhandlerhost.h"
#include "tracesettings.h"
#include "tree.h"
#include "treehost.h"

#include <QAbstractEventDispatcher>

#include <gtest/gtest.h>

#include <atomic>
#include <omnithread.h>
#include <thread>

extern "C" IDllInstance *ZRCreate(const wchar_t *name);
extern "C" void ZRDestroy(IDllInstance *instance);

using CorbaCommon::OrbHandler;
using CorbaCommon::OrbHandlerHost;
using drivertest::Config;
using testsupport::waitUntil;

namespace
{
bool bringUpOrb(const QString &ccoCorbaloc)
{
    return OrbHandlerHost::Init({QStringLiteral("-ORBInitRef"), QStringLiteral("CCO=") + ccoCorbaloc});
}

QList<QAbstractEventDispatcher::TimerInfo> timersOf(IDllInstance *instance)
{
    return QAbstractEventDispatcher::instance()->registeredTimers(static_cast<ExternalCCODriver *>(instance));
}

bool orbThreadStarted()
{
    return ORBConnection::instance()->isRunning() || ORBConnection::instance()->isFinished();
}

// The start-up waits trace nothing, so the tests count the driver's ticks.
struct TickCountingDriver : ExternalCCODriver
{
    TickCountingDriver()
        : ExternalCCODriver(QStringLiteral("Drv"))
    {
        Init();
    }
    void timerEvent(QTimerEvent *event) override
    {
        ++ticks;
        ExternalCCODriver::timerEvent(event);
    }
    int ticks = 0;
};
}

TEST(DriverStartup, OrbComingUpLaterIsPickedUpAndTheCcoReachedOnTheSameTick)
{
    Config config("ReconnectTimer=100\n");
    auto cco = testsupport::startCcoServer();
    ASSERT_TRUE(cco->ready()) << qPrintable(cco->errorText());
    TickCountingDriver driver;
    ASSERT_EQ(timersOf(&driver).size(), 1);
    EXPECT_EQ(timersOf(&driver).at(0).interval, 100);
    ASSERT_TRUE(waitUntil([&] { return driver.ticks >= 3; }, 2000));
    EXPECT_EQ(timersOf(&driver).size(), 1) << "ticks without an ORB change nothing";

    ASSERT_TRUE(bringUpOrb(cco->corbaloc()));
    const int ticksBefore = driver.ticks;
    ASSERT_TRUE(waitUntil([&] { return timersOf(&driver).isEmpty(); }, 5000));
    // No CCO timer was needed, and no timer is left to reach InitMatrixManager again.
    EXPECT_EQ(driver.ticks, ticksBefore + 1);
    EXPECT_FALSE(orbThreadStarted()) << "the antenna side is off by default";
}

TEST(DriverStartup, CcoStartedLaterIsPickedUpAndTheAntennaSideStartedOnce)
{
    static QStringList traces;
    TraceSettings::SetTraceFilter(ErrorHandler::TraceDriver);
    TraceSettings::SetTraceCapture([](const QString &line) { traces << line; });
    Config config("ReconnectTimer=100\nAntennaMatrixDriver=true\n");
    // A receiver whose hardware does not run: the antenna side then starts
    // without a matrix manager and puts USINGANTENNAMATRIX in place.
    values::Tree *tree = values::TreeHost::Create();
    for (const char *name : {"ANTENNA", "HARDWARESTATUS"})
        ASSERT_TRUE(receivertree::addValue<values::ValueSelection>(QStringLiteral("/DEVICES/KRV4"), name));
    const QString usingMatrix = QStringLiteral("/DEVICES/KRV4/USINGANTENNAMATRIX");
    // Nothing listens on the port until the cco-server starts there.
    const int port = testsupport::freeLoopbackPort();
    ASSERT_TRUE(bringUpOrb(QStringLiteral("corbaloc::127.0.0.1:%1/CCO").arg(port)));

    IDllInstance *early = ZRCreate(L"Drv");
    ASSERT_EQ(timersOf(early).size(), 1) << "waiting for the CCO";
    ZRDestroy(early);
    {
        TickCountingDriver driver;
        ASSERT_TRUE(waitUntil([&] { return driver.ticks >= 2; }, 2000));
        EXPECT_EQ(timersOf(&driver).size(), 1);
        EXPECT_EQ(tree->FindValue(usingMatrix), nullptr);
        EXPECT_TRUE(traces.isEmpty()) << "waiting is silent: " << qPrintable(traces.join('\n'));

        auto cco = testsupport::startCcoServer({QStringLiteral("--port"), QString::number(port)});
        ASSERT_TRUE(cco->ready()) << qPrintable(cco->errorText());
        ASSERT_TRUE(waitUntil([&] { return timersOf(&driver).isEmpty(); }, 10000));
        EXPECT_TRUE(orbThreadStarted());
        EXPECT_NE(tree->FindValue(usingMatrix), nullptr) << "the default value path";
    }
    EXPECT_EQ(tree->FindValue(usingMatrix), nullptr);
    values::TreeHost::Destroy();
}

TEST(OrbConnection, AsksUntilTheFirstTrueAndNeverAfter)
{
    auto cco = testsupport::startCcoServer();
    ASSERT_TRUE(cco->ready()) << qPrintable(cco->errorText());
    ORBConnection *connection = ORBConnection::instance();
    EXPECT_FALSE(connection->isOrbAvailable());
    ASSERT_TRUE(bringUpOrb(cco->corbaloc()));
    EXPECT_TRUE(connection->isOrbAvailable());

    OrbHandlerHost::Shutdown();
    ASSERT_FALSE(OrbHandler::Instance().orbIsAvailable());
    EXPECT_TRUE(connection->isOrbAvailable()) << "the first true answer is kept";

    // Taken into service again, it starts from the handler's answer.
    ORBConnection::destroyInstance();
    EXPECT_EQ(ORBConnection::instance(), connection);
    EXPECT_FALSE(connection->isOrbAvailable());
    ORBConnection::destroyInstance();
}

// A watcher or registration keeps the pointer it took from instance() and
// uses it from its own thread while the host destroys and recreates driver
// instances, each of which destroys the process-wide connection.
TEST(OrbConnection, PointersHeldAcrossDestroyInstanceStayUsable)
{
    Config config("AntennaMatrixDriver=true\n");
    auto cco = testsupport::startCcoServer();
    ASSERT_TRUE(cco->ready()) << qPrintable(cco->errorText());
    ASSERT_TRUE(bringUpOrb(cco->corbaloc()));

    ORBConnection *held = ORBConnection::instance();
    std::atomic<bool> stop {false};
    std::atomic<int> calls {0};
    std::thread holder([&] {
        omni_thread::ensure_self self;
        for (; !stop; ++calls) {
            held->isOrbAvailable();
            if (!held->connectToCCO())
                continue;
            try {
                CCO::IF_CCO_c_var ref = held->getCCO();
                if (!CORBA::is_nil(ref))
                    CORBA::String_var system = ref->GetSystemName();
            } catch (const CORBA::Exception &) { // only the holder's pointer is under test
            }
        }
    });
    // Each instance starts the connection's thread and destroys the connection.
    for (int i = 0; i < 20; ++i)
        ZRDestroy(ZRCreate(L"Drv"));
    EXPECT_TRUE(waitUntil([&] { return calls > 20; }, 10000));
    stop = true;
    holder.join();
    EXPECT_EQ(ORBConnection::instance(), held);
    ORBConnection::destroyInstance();
}

// Without the key the driver retries every 2000 ms. An interval of 0 would make the retries a busy
// loop of blocking checks on the host thread, and a negative one starts no timer at all, so the
// driver would never go on: both fall back to 2000 ms with a trace.
TEST(DriverStartup, ReconnectTimerThatIsAbsentOrNotPositiveIs2000)
{
    static QStringList traces;
    TraceSettings::SetTraceFilter(ErrorHandler::TraceDriver);
    TraceSettings::SetTraceCapture([](const QString &line) { traces << line; });
    for (const char *lines : {"", "ReconnectTimer=0\n", "ReconnectTimer=-100\n"}) {
        Config config(lines);
        // No ORB in this process: the ORB timer runs, and the driver is destroyed while it waits.
        IDllInstance *driver = ZRCreate(L"Drv");
        EXPECT_EQ(driver->instanceName, QStringLiteral("Drv"));
        ASSERT_EQ(timersOf(driver).size(), 1) << lines;
        EXPECT_EQ(timersOf(driver).at(0).interval, 2000) << lines;
        ZRDestroy(driver);
    }
    ZRDestroy(nullptr);
    TraceSettings::SetTraceCapture({});
    EXPECT_EQ(traces.filter("ReconnectTimer").size(), 2) << qPrintable(traces.join('\n'));
}
