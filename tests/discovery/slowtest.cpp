// The value registration's real retry timing: without an ORB a request checks eleven times, 3 s
// apart, then ends once and leaves neither its object nor its thread behind. About 30 s.
#include "ccoregistration.h"
#include "waituntil.h"

#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>

using externalCCODriver::CCORegistration;

namespace
{
struct Access : CCORegistration
{
    using CCORegistration::setStartHookForTests;
};
}

TEST(SlowRegistration, RequestWithoutOrbChecksElevenTimesThreeSecondsApartAndLeavesNothing)
{
    std::atomic<int> interval {0}, retries {0}, finished {0}, destroyed {0};
    Access::setStartHookForTests([&](CCORegistration *request) {
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
    Access::setStartHookForTests({});
    EXPECT_EQ(interval, 3000);
    EXPECT_EQ(retries, 10);
    EXPECT_EQ(finished, 1);
}
