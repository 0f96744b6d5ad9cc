// Fixed delays that make these tests slow: the value registration's real retry timing (about
// 30 s) and the 10 s a locate registration is granted when it is destroyed. The ORB is process-wide,
// so CTest runs every test in a process of its own.
#include "ccolocateregistration.h"
#include "ccoregistration.h"
#include "orbhandlerhost.h"
#include "registrationtuning.h"
#include "serverprocess.h"
#include "tracerecorder.h"
#include "waituntil.h"

#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>

using externalCCODriver::CCORegistration;

TEST(SlowRegistration, RequestWithoutOrbChecksElevenTimesThreeSecondsApartAndLeavesNothing)
{
    std::atomic<int> interval {0}, retries {0}, finished {0}, destroyed {0};
    externalCCODriver::tuning::setRegistrationStartHook([&](CCORegistration *request) {
        QTimer *timer = request->findChild<QTimer *>();
        interval = timer->interval();
        QObject::connect(timer, &QTimer::timeout, [&] { ++retries; });
        QObject::connect(request, &CCORegistration::finished, [&] { ++finished; });
        QObject::connect(request, &QObject::destroyed, [&] { ++destroyed; });
        QObject::connect(request->thread(), &QObject::destroyed, [&] { ++destroyed; });
    });
    CCORegistration::registerAtCCO("CCO/LocalSystem/Nowhere", {"a"});
    ASSERT_TRUE(testsupport::waitUntil([&] { return finished > 0; }, 40000));
    ASSERT_TRUE(testsupport::waitUntil([&] { return destroyed == 2; }, 2000)) << "object and thread";
    externalCCODriver::tuning::setRegistrationStartHook({});
    EXPECT_EQ(interval, 3000);
    EXPECT_EQ(retries, 10);
    EXPECT_EQ(finished, 1);
}

// Every call 2 s late: the registration's two sweeps alone would take 40 s. Destroying it grants
// it 10 s, then asks it to stop, which every loop honours after the call in flight.
TEST(SlowLocate, DestructionStopsARegistrationThatOutlastsItsTimeAfterOneCall)
{
    const int callTimeoutMs = 3000;
    auto cco = testsupport::startCcoServer({"--fault", "delay ResolveValues 2000"});
    ASSERT_TRUE(cco->ready()) << cco->errorText().toStdString();
    ASSERT_TRUE(CorbaCommon::OrbHandlerHost::Init(
        {"-ORBInitRef", "CCO=" + cco->corbaloc(), "-ORBclientCallTimeOutPeriod", QString::number(callTimeoutMs)}));
    testsupport::TraceRecorder traces;
    externalCCODriver::tuning::setLocateRegistrationSecond(5);
    QElapsedTimer clock;
    {
        CCOLocateRegistration registration("myHost", "Dev", "info", 80, "Locate%1", true);
        ASSERT_GE(cco->waitForLine("CALL ResolveValues CCO/LocalSystem/LocalSubSystem/LocalHost/Locate1 ", 10000), 0);
        clock.start();
    }
    const qint64 elapsed = clock.elapsed();
    EXPECT_GE(elapsed, 10000);
    EXPECT_LT(elapsed, 10000 + callTimeoutMs);
    EXPECT_EQ(traces.count("stop requested"), 1);
}
