// CCOLocateRegistration against a cco-server process: which number a device
// takes, which entries it removes, how it gives up, how its destructor ends
// it, and registrars in separate processes competing for the numbers.
#include "ccolocateregistration.h"
#include "discoverytestsupport.h"
#include "serverprocess.h"
#include "waituntil.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <memory>
#include <set>

using testsupport::waitUntil;
using namespace discoverytest;
using Bytes = QList<QByteArray>;

namespace
{
class LocateAccess : public CCOLocateRegistration
{
public:
    using CCOLocateRegistration::setSecondForTests;
};

QString slot(int number)
{
    return localHostPath(QStringLiteral("Locate%1").arg(number));
}

class LocateTest : public ::testing::Test
{
protected:
    // A "second" of 5 ms keeps the waits and the random delay short.
    void SetUp() override { LocateAccess::setSecondForTests(5); }
    void TearDown() override { LocateAccess::setSecondForTests(0); }

    void startCco()
    {
        cco = testsupport::startCcoServer({"--subsystems", "SubA", "--subsystem", "SubA", "--workstation", "ws1"});
        ASSERT_TRUE(cco->ready()) << cco->errorText().toStdString();
        ASSERT_TRUE(initOrb(cco->corbaloc()));
    }

    void run(bool doRegister, int timeoutMs = 20000)
    {
        {
            CCOLocateRegistration registration("myHost", "Dev", "info", 80, "Locate%1", doRegister);
            EXPECT_TRUE(registration.wait(timeoutMs));
        }
        EXPECT_GE(syncLog(*cco), 0);
    }

    std::unique_ptr<testsupport::ServerProcess> cco;
};
}

TEST_F(LocateTest, TakesTheFirstFreeNumberAfterRemovingOwnAndInvalidEntries)
{
    startCco();
    const Bytes other {"otherHost", "otherHost_Dev", "x", "80"};
    const Bytes paddedPort {"myHost", "myHost_Old", "old", "0080"};
    const Bytes sameHostOtherPort {"myHost", "myHost_Old", "old", "81"};
    ASSERT_TRUE(bindValues(slot(1), other));
    ASSERT_TRUE(bindValues(slot(2), {"a", "b"}));
    ASSERT_TRUE(bindValues(slot(3), paddedPort));
    ASSERT_TRUE(bindValues(slot(4), {"myHost", "myHost_Old", "old", "80"}));
    ASSERT_TRUE(bindValues(slot(5), {"1", "2", "3", "4", "5"}));
    ASSERT_TRUE(bindValues(slot(6), sameHostOtherPort));
    TraceRecorder traces;

    run(true);

    EXPECT_EQ(traces.count("Successfully registered device for locate myHost, Dev, info, 80, 2"), 1);
    EXPECT_EQ(traces.count("Successfully unregistered devices for locate myHost, Dev, info, 80"), 1);
    EXPECT_EQ(resolveValues(slot(2)), (Bytes {"myHost", "myHost_Dev", "info", "80"}));
    EXPECT_EQ(resolveValues(slot(1)), other);
    EXPECT_EQ(resolveValues(slot(3)), paddedPort);
    EXPECT_TRUE(resolveValues(slot(4)).isEmpty());
    EXPECT_TRUE(resolveValues(slot(5)).isEmpty());
    EXPECT_EQ(resolveValues(slot(6)), sameHostOtherPort);
    // Registered under the local name, read back under the full path.
    EXPECT_GE(cco->waitForLine("CALL RegisterValues Locate2 ", 0), 0);
}

TEST_F(LocateTest, RemovalTakesOnlyThisDevicesEntriesAndReportsEvenWhenThereAreNone)
{
    startCco();
    const Bytes other {"otherHost", "otherHost_Dev", "x", "80"};
    const Bytes paddedPort {"myHost", "myHost_Dev", "info", "0080"};
    ASSERT_TRUE(bindValues(slot(1), {"myHost", "myHost_Dev", "info", "80"}));
    ASSERT_TRUE(bindValues(slot(2), other));
    ASSERT_TRUE(bindValues(slot(3), paddedPort));
    ASSERT_TRUE(bindValues(slot(7), {"myHost", "another", "device", "80"}));
    TraceRecorder traces;

    run(false);
    EXPECT_TRUE(resolveValues(slot(1)).isEmpty());
    EXPECT_TRUE(resolveValues(slot(7)).isEmpty());
    EXPECT_EQ(resolveValues(slot(2)), other);
    EXPECT_EQ(resolveValues(slot(3)), paddedPort);
    EXPECT_EQ(traces.count("Successfully unregistered devices for locate myHost, Dev, info, 80"), 1);

    const int from = syncLog(*cco);
    run(false);
    EXPECT_EQ(traces.count("Successfully unregistered devices for locate myHost, Dev, info, 80"), 2);
    EXPECT_EQ(cco->countLines("CALL UnregisterValues", from), 0);
    EXPECT_EQ(cco->countLines("CALL ResolveValues " + localHostPath("Locate"), from), 10);
}

TEST_F(LocateTest, TracesTheDevicesStringsVerbatimEvenWithPercentSigns)
{
    startCco();
    TraceRecorder traces;
    {
        CCOLocateRegistration registration("myHost", "Dev%2", "Band %1", 80, "Locate%1", true);
        ASSERT_TRUE(registration.wait(20000));
    }
    EXPECT_EQ(traces.count("Successfully unregistered devices for locate myHost, Dev%2, Band %1, 80"), 1)
        << traces.lines().join('\n').toStdString();
    EXPECT_EQ(traces.count("Successfully registered device for locate myHost, Dev%2, Band %1, 80, 1"), 1);
    EXPECT_EQ(resolveValues(slot(1)), (Bytes {"myHost", "myHost_Dev%2", "Band %1", "80"}));
}

TEST_F(LocateTest, GivesUpSilentlyAfterTwentyAttemptsWhenEveryNumberIsTaken)
{
    startCco();
    for (int i = 1; i <= 10; ++i)
        ASSERT_TRUE(bindValues(slot(i), {"host" + QByteArray::number(i), "d", "i", "1"}));
    TraceRecorder traces;

    run(true, 60000);

    EXPECT_EQ(traces.count("Successfully registered"), 0);
    EXPECT_EQ(traces.count("CORBA::"), 0);
    EXPECT_EQ(traces.count("unknown Exception"), 0);
    EXPECT_EQ(traces.count("Successfully unregistered devices for locate"), 20);
    // Each attempt reads number 10 three times: own entries, invalid
    // entries, free number.
    EXPECT_EQ(cco->countLines("CALL ResolveValues " + slot(10) + " "), 60);
    EXPECT_EQ(cco->countLines("CALL RegisterValues Locate"), 0);
    EXPECT_EQ(resolveValues(slot(10)), (Bytes {"host10", "d", "i", "1"}));
}

TEST_F(LocateTest, AReadBackThatDiffersRemovesTheNumberAndTriesAgain)
{
    startCco();
    // Every read of number 1 is held for 500 ms before the server looks at
    // its store; while the first read-back is held, another device's entry
    // takes the place of ours.
    ASSERT_TRUE(cco->command("fault delay ResolveValues@" + slot(1) + " 500"));
    TraceRecorder traces;
    CCOLocateRegistration registration("myHost", "Dev", "info", 80, "Locate%1", true);
    ASSERT_GE(cco->waitForLine("CALL RegisterValues Locate1 ", 10000), 0);
    ASSERT_TRUE(unbindValues(slot(1)));
    ASSERT_TRUE(bindValues(slot(1), {"intruder", "intruder_Dev", "info", "80"}));
    ASSERT_TRUE(registration.wait(20000));
    ASSERT_GE(syncLog(*cco), 0);

    EXPECT_EQ(traces.count("Successfully registered device for locate myHost, Dev, info, 80, 1"), 1);
    EXPECT_EQ(resolveValues(slot(1)), (Bytes {"myHost", "myHost_Dev", "info", "80"}));
    const int first = cco->waitForLine("CALL RegisterValues Locate1 ", 0);
    const int removal = cco->waitForLine("CALL UnregisterValues Locate1 ", 0, first);
    const int second = cco->waitForLine("CALL RegisterValues Locate1 ", 0, first + 1);
    EXPECT_GT(removal, first);
    EXPECT_GT(second, removal);
}

TEST_F(LocateTest, AnExceptionEndsTheWholeRegistration)
{
    startCco();
    TraceRecorder traces;
    // NotFound while the free number is sought: a user exception. The two
    // removal sweeps before it stop silently at the same number.
    ASSERT_TRUE(cco->command("fault raise ResolveValues@" + slot(1) + " NotFound"));
    run(true);
    EXPECT_EQ(traces.count("CORBA::UserException"), 1);
    EXPECT_EQ(traces.count("Successfully unregistered"), 0);
    EXPECT_EQ(cco->countLines("CALL ResolveValues " + slot(1) + " "), 3);
    EXPECT_EQ(cco->countLines("CALL RegisterValues"), 0);

    ASSERT_TRUE(cco->command("fault clear"));
    ASSERT_TRUE(cco->command("fault raise RegisterValues NO_RESOURCES"));
    run(true);
    EXPECT_EQ(traces.count("CORBA::SystemException"), 1);
    EXPECT_EQ(cco->countLines("CALL RegisterValues"), 1);
    EXPECT_TRUE(resolveValues(slot(1)).isEmpty());
}

TEST_F(LocateTest, DestructorStopsARegistrationThatIsStillWaiting)
{
    // Real seconds, and no ORB in this process: the registration would wait
    // 9 s for the ORB and 9 s for the CCO in every attempt.
    LocateAccess::setSecondForTests(0);
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

namespace
{
struct Registrar
{
    QString host;
    std::unique_ptr<QProcess> process;
    QString output;
};

// Starts `count` registrars at once, waits for all, and checks what they
// report against the CCO: every number is held by exactly the registrar that
// reported it, and nothing else holds one.
void compete(testsupport::ServerProcess &cco, int count, bool seeded, int *registeredCount)
{
    std::vector<Registrar> registrars(count);
    for (int i = 0; i < count; ++i) {
        Registrar &r = registrars[i];
        r.host = QStringLiteral("host%1").arg(i);
        r.process = std::make_unique<QProcess>();
        r.process->setProcessChannelMode(QProcess::MergedChannels);
        r.process->start(QStringLiteral(LOCATE_REGISTRAR),
            {"--cco", cco.corbaloc(), "--host", r.host, "--device", "Dev", "--info", "info", "--port",
                QString::number(4000 + i), "--second", "20", "--seed", seeded ? QString::number(i + 1) : "0"});
    }
    for (Registrar &r : registrars) {
        ASSERT_TRUE(r.process->waitForFinished(90000)) << r.host.toStdString();
        r.output = QString::fromLocal8Bit(r.process->readAll());
        ASSERT_EQ(r.process->exitCode(), 0) << r.output.toStdString();
    }

    std::set<int> numbers;
    for (const Registrar &r : registrars) {
        const auto match = QRegularExpression("RESULT registered (\\d+)").match(r.output);
        if (!match.hasMatch()) {
            EXPECT_TRUE(r.output.contains("RESULT failed")) << r.output.toStdString();
            continue;
        }
        const int number = match.captured(1).toInt();
        EXPECT_TRUE(numbers.insert(number).second) << "number " << number << " reported twice";
        EXPECT_EQ(resolveValues(slot(number)),
            (Bytes {r.host.toLatin1(), r.host.toLatin1() + "_Dev", "info",
                QByteArray::number(4000 + int(&r - &registrars[0]))}));
    }
    for (int i = 1; i <= 10; ++i)
        EXPECT_EQ(!resolveValues(slot(i)).isEmpty(), numbers.count(i) == 1) << "number " << i;
    *registeredCount = int(numbers.size());
}
}

TEST_F(LocateTest, RegistrarsInSeparateProcessesEndWithDistinctNumbers)
{
    startCco();
    int registered = 0;
    compete(*cco, 6, true, &registered);
    EXPECT_GE(registered, 1);
    RecordProperty("registered_of_6_seeded", registered);
}

TEST_F(LocateTest, UnseededRegistrarsCompetingForTooFewNumbersNeverShareOne)
{
    // Unseeded, every process draws the same delays; twelve registrars for
    // ten numbers cannot all succeed.
    startCco();
    int registered = 0;
    compete(*cco, 12, false, &registered);
    EXPECT_GE(registered, 1);
    EXPECT_LE(registered, 10);
    RecordProperty("registered_of_12_unseeded", registered);
}
