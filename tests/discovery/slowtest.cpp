// The fixed timing of the registrations, with their real constants: each
// test takes 20 to 35 s.
#include "ccolocateregistration.h"
#include "ccoregistration.h"
#include "discoverytestsupport.h"
#include "waituntil.h"

#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>

using externalCCODriver::CCORegistration;
using testsupport::waitUntil;
using namespace discoverytest;

namespace
{
class RegistrationAccess : public CCORegistration
{
public:
    using CCORegistration::setStartHookForTests;
};
}

TEST(SlowRegistration, RequestWithoutOrbRetriesEveryThreeSecondsAndEndsAfterElevenChecks)
{
    // The ORB of this process is never brought up.
    std::atomic<int> interval {0};
    std::atomic<int> retries {0};
    std::atomic<int> finished {0};
    std::atomic<int> threadsDestroyed {0};
    RegistrationAccess::setStartHookForTests([&](CCORegistration *request) {
        interval = request->findChild<QTimer *>()->interval();
        QObject::connect(request->findChild<QTimer *>(), &QTimer::timeout, [&] { ++retries; });
        QObject::connect(request, &CCORegistration::finished, [&] { ++finished; });
        QObject::connect(request->thread(), &QObject::destroyed, [&] { ++threadsDestroyed; });
    });
    QElapsedTimer clock;
    clock.start();
    CCORegistration::registerAtCCO(QStringLiteral("CCO/LocalSystem/Nowhere"), {"a"});
    ASSERT_TRUE(waitUntil([&] { return finished.load() > 0; }, 40000));
    const qint64 elapsed = clock.elapsed();
    ASSERT_TRUE(waitUntil([&] { return threadsDestroyed.load() == 1; }, 2000));
    RegistrationAccess::setStartHookForTests({});

    EXPECT_EQ(interval.load(), 3000);
    EXPECT_EQ(retries.load(), 10);
    EXPECT_EQ(finished.load(), 1);
    // Coarse timers may fire up to 5 % early.
    EXPECT_GE(elapsed, 28500);
    EXPECT_LT(elapsed, 34000);
}

TEST(SlowLocate, WaitsTenChecksOneSecondApartForOrbAndCcoThenFailsOnTheNilReference)
{
    // No ORB: ten ORB checks and ten CCO checks, 9 s each, then the random
    // delay of 0 to 5 s; the first CCO call on the nil reference raises a
    // system exception, which ends the registration.
    TraceRecorder traces;
    QElapsedTimer clock;
    clock.start();
    CCOLocateRegistration registration("myHost", "Dev", "info", 80, "Locate%1", true);
    ASSERT_TRUE(traces.waitFor("CORBA::SystemException", 30000));
    const qint64 elapsed = clock.elapsed();
    ASSERT_TRUE(registration.wait(2000));
    EXPECT_GE(elapsed, 18000);
    EXPECT_LT(elapsed, 24500);
    EXPECT_EQ(traces.count("CORBA::SystemException"), 1);
    EXPECT_EQ(traces.count("Successfully"), 0);
}
