// How many times the watcher and the value registration check for the ORB and
// the CCO before they give up, and the registration's retry pace. A limit of N
// allows N + 1 checks in each state, counted afresh once the ORB is there.
// And how many numbers a locate registration may take.
// The CCO is made unreachable by having it refuse the type check that
// connecting makes; each check then takes its two tries, and the server's
// log counts them.
#include "ccoclient.h"
#include "ccolocateregistration.h"
#include "ccoregistration.h"
#include "ccowatcher.h"
#include "registrationtuning.h"
#include "waituntil.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

using externalCCODriver::CCORegistration;
using externalCCODriver::CCOWatcher;
using testsupport::waitUntil;

namespace
{
// ORBConnection::connectToCCO asks for two tries of 500 ms each.
constexpr int triesPerCheck = 2;
constexpr int tryMs = 500;
const QString typeCheck = QStringLiteral("CALL _is_a ");

std::unique_ptr<testsupport::ServerProcess> startUnreachableCco()
{
    auto cco = testsupport::startCcoServer({"--fault", "raise _is_a TRANSIENT"});
    EXPECT_TRUE(cco->ready()) << cco->errorText().toStdString();
    return cco;
}

void bringUpOrb(const testsupport::ServerProcess &cco)
{
    ASSERT_TRUE(CorbaCommon::OrbHandlerHost::Init({"-ORBInitRef", "CCO=" + cco.corbaloc()}));
}

// Counts the single-shot timers the watcher arms, one per poll.
struct ArmedTimers : QObject
{
    std::atomic<int> count {0};
    bool eventFilter(QObject *, QEvent *event) override
    {
        count += event->type() == QEvent::ChildAdded
            && qobject_cast<QTimer *>(static_cast<QChildEvent *>(event)->child());
        return false;
    }
};

// One request, observed through the start hook: its retry interval, the number of retries and its end.
struct Request
{
    std::atomic<int> interval {0}, retries {0}, finished {0};
    Request()
    {
        externalCCODriver::tuning::setRegistrationStartHook([this](CCORegistration *request) {
            QTimer *timer = request->findChild<QTimer *>();
            interval = timer->interval();
            QObject::connect(timer, &QTimer::timeout, [this] { ++retries; });
            QObject::connect(request, &CCORegistration::finished, [this] { ++finished; });
        });
    }
    ~Request() { externalCCODriver::tuning::setRegistrationStartHook({}); }
    bool waitForEnd(int timeoutMs)
    {
        return waitUntil([this] { return finished > 0; }, timeoutMs);
    }
};

std::string locateSlot(int number)
{
    return "CCO/LocalSystem/LocalSubSystem/LocalHost/Locate" + std::to_string(number);
}
}

TEST(Limits, WatcherGivesUpOnTheCcoAfterLimitPlusOneChecksCountedAfreshOnceTheOrbIsUp)
{
    auto cco = startUnreachableCco();
    constexpr int limit = 3;
    constexpr int pollMs = 200;
    CCOWatcher watcher(pollMs, limit, QStringLiteral("CentralServices/Receiver/PulseAnalysis"));
    ArmedTimers armed;
    watcher.installEventFilter(&armed);
    watcher.init();
    // Two checks without an ORB use up two of the attempts; the ORB comes up before the limit is reached.
    ASSERT_TRUE(waitUntil([&] { return armed.count >= 3; }, 5000));
    bringUpOrb(*cco);

    const int checkMs = pollMs + triesPerCheck * tryMs;
    const int calls = triesPerCheck * (limit + 1);
    ASSERT_TRUE(waitUntil([&] { return cco->countLines(typeCheck) >= calls; }, (limit + 3) * checkMs));
    EXPECT_FALSE(waitUntil([&] { return cco->countLines(typeCheck) > calls; }, checkMs)) << "given up";
}

TEST(Limits, RegistrationChecksElevenTimesForTheOrbThenForTheCcoAndRetriesEveryThreeSeconds)
{
    auto cco = startUnreachableCco();
    const QString path = QStringLiteral("CCO/LocalSystem/LimitProbe");
    constexpr int retryMs = 20;
    externalCCODriver::tuning::setRegistrationRetryInterval(retryMs);
    {
        Request request;
        CCORegistration::registerAtCCO(path, {"a"});
        ASSERT_TRUE(request.waitForEnd(11 * retryMs + 5000));
        EXPECT_EQ(request.retries, 10) << "no ORB";
    }

    bringUpOrb(*cco);
    {
        Request request;
        CCORegistration::registerAtCCO(path, {"a"});
        ASSERT_TRUE(request.waitForEnd(11 * (retryMs + triesPerCheck * tryMs) + 5000));
        EXPECT_EQ(request.retries, 10) << "no CCO";
        // The server's last lines may still be on their way to the test.
        EXPECT_TRUE(waitUntil([&] { return cco->countLines(typeCheck) >= 11 * triesPerCheck; }, 2000));
        EXPECT_EQ(cco->countLines(typeCheck), 11 * triesPerCheck);
    }

    // With the CCO there, a request ends at once, so its real interval can be read without waiting for it.
    ASSERT_TRUE(cco->command("fault clear"));
    externalCCODriver::tuning::setRegistrationRetryInterval(0);
    Request request;
    CCORegistration::unregisterFromCCO(path);
    ASSERT_TRUE(request.waitForEnd(5000));
    EXPECT_EQ(request.interval, 3000);
    EXPECT_EQ(request.retries, 0);
}

TEST(Limits, LocateRegistrationTakesTheTenthNumberButNoEleventh)
{
    externalCCODriver::tuning::setLocateRegistrationSecond(5); // keeps the waits and the random delay short
    auto cco = testsupport::startCcoServer({"--subsystem", "SubA", "--workstation", "ws1"});
    ASSERT_TRUE(cco->ready()) << cco->errorText().toStdString();
    bringUpOrb(*cco);
    ASSERT_TRUE(CorbaCommon::OrbHandler::Instance().ConnectToCCO(2, 500));
    for (int i = 1; i <= 9; ++i) {
        const std::string host = "other" + std::to_string(i);
        ASSERT_TRUE(ccoclient::registerValues(locateSlot(i), {host, host + "_Dev", "info", "80"}));
    }
    for (const char *host : {"tenth", "late"}) {
        CCOLocateRegistration registration(QString::fromLatin1(host), "Dev", "info", 80, "Locate%1", true);
        ASSERT_TRUE(registration.wait(30000)) << host;
    }
    EXPECT_EQ(ccoclient::resolveValues(locateSlot(10)), (ccoclient::Strings {"tenth", "tenth_Dev", "info", "80"}));
    EXPECT_TRUE(ccoclient::resolveValues(locateSlot(11)).empty()) << "only numbers 1 to 10 exist";
}
