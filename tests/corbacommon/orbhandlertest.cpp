// CorbaCommon::OrbHandler against real cco-server processes: before the ORB
// is up, with no server, with a server, with a server that stopped
// answering, and with an object that is not a CCO. The CCO's port is fixed
// for the whole program because the ORB takes the "CCO" reference at Init;
// every test brings the ORB up and down again.
#include "serverprocess.h"
#include "waituntil.h"

#include <orbhandler.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using testsupport::ServerProcess;
using Clock = std::chrono::steady_clock;

namespace
{
int ccoPort()
{
    static const int port = testsupport::freeLoopbackPort();
    return port;
}

QString ccoLocation()
{
    return QStringLiteral("corbaloc::127.0.0.1:%1/CCO").arg(ccoPort());
}

long long msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class OrbHandlerTest : public ::testing::Test
{
protected:
    CorbaCommon::OrbHandler &handler = CorbaCommon::OrbHandler::Instance();

    void TearDown() override { handler.Shutdown(); }

    bool init(int callTimeoutMs = 1000)
    {
        return handler.Init({QStringLiteral("-ORBInitRef"), QStringLiteral("CCO=") + ccoLocation(),
                             QStringLiteral("-ORBclientCallTimeOutPeriod"), QString::number(callTimeoutMs)});
    }

    std::unique_ptr<ServerProcess> startCco(QStringList extra = {})
    {
        extra << QStringLiteral("--port") << QString::number(ccoPort()) << QStringLiteral("--workstation")
              << QStringLiteral("ws1");
        auto server = testsupport::startCcoServer(extra);
        EXPECT_TRUE(server->ready()) << server->errorText().toStdString();
        return server;
    }
};
}

TEST_F(OrbHandlerTest, NothingWorksBeforeInitAndAfterShutdown)
{
    for (int round = 0; round < 2; ++round) {
        EXPECT_FALSE(handler.orbIsAvailable());
        EXPECT_TRUE(CORBA::is_nil(handler.Orb()));
        EXPECT_FALSE(handler.CCOIsAvailable());
        EXPECT_FALSE(handler.ConnectToCCO(2, 500));
        CCO::IF_CCO_c_var cco = handler.GetCCO();
        EXPECT_TRUE(CORBA::is_nil(cco));
        CORBA::Object_var obj = handler.ResolveInterfaceViaCCO("CCO/x", QStringLiteral("localhost"));
        EXPECT_TRUE(CORBA::is_nil(obj));
        // The ORB can be brought up again after a shutdown.
        ASSERT_TRUE(init());
        EXPECT_TRUE(handler.orbIsAvailable());
        EXPECT_FALSE(CORBA::is_nil(handler.Orb()));
        handler.Shutdown();
    }
}

TEST_F(OrbHandlerTest, NoServerAnswersFalseWithinASecond)
{
    ASSERT_TRUE(init());
    const auto start = Clock::now();
    EXPECT_FALSE(handler.ConnectToCCO(2, 500));
    EXPECT_LT(msSince(start), 1300);
    EXPECT_FALSE(handler.CCOIsAvailable());
    CCO::IF_CCO_c_var cco = handler.GetCCO();
    EXPECT_TRUE(CORBA::is_nil(cco));
}

TEST_F(OrbHandlerTest, MissingInitialReferenceFailsAtOnce)
{
    ASSERT_TRUE(handler.Init({}));
    const auto start = Clock::now();
    EXPECT_FALSE(handler.ConnectToCCO(2, 500));
    EXPECT_LT(msSince(start), 200);
}

TEST_F(OrbHandlerTest, ConnectsAndHandsOutReferencesOfTheirOwn)
{
    auto cco = startCco();
    ASSERT_TRUE(init());
    EXPECT_FALSE(handler.CCOIsAvailable());
    ASSERT_TRUE(handler.ConnectToCCO(2, 500));
    EXPECT_TRUE(handler.CCOIsAvailable());

    // Each caller releases its reference once; the next caller still gets a
    // usable one.
    for (int i = 0; i < 3; ++i) {
        CCO::_objref_IF_CCO_c *ref = handler.GetCCO();
        ASSERT_FALSE(CORBA::is_nil(ref));
        CORBA::String_var ws = ref->GetWorkstationName();
        EXPECT_STREQ(ws.in(), "ws1");
        CORBA::release(ref);
    }

    CCO::IF_CCO_c_var ref = handler.GetCCO();
    CCO::StringList values;
    values.length(1);
    values[0] = CORBA::string_dup("v");
    ref->RegisterValues("CCO/LocalSystem/LocalSubSystem/Workstations/ws1/Thing", values, CCO::RT_Single);
    ref->Register("CCO/LocalSystem/LocalSubSystem/Workstations/ws1/Obj/IF", ref, CCO::RT_Single);

    CORBA::Object_var found =
        handler.ResolveInterfaceViaCCO("CCO/LocalSystem/LocalSubSystem/Workstations/ws1/Obj/IF", "localhost");
    ASSERT_FALSE(CORBA::is_nil(found));
    EXPECT_TRUE(found->_is_equivalent(ref));
    // Another host's CCO is asked at the same port on that host.
    found = handler.ResolveInterfaceViaCCO("CCO/LocalSystem/LocalSubSystem/Workstations/ws1/Obj/IF", "127.0.0.1");
    EXPECT_FALSE(CORBA::is_nil(found));

    // Every failure is a nil result, never an exception.
    found = handler.ResolveInterfaceViaCCO("CCO/LocalSystem/LocalSubSystem/Workstations/ws1/Nothing", "localhost");
    EXPECT_TRUE(CORBA::is_nil(found));
    found = handler.ResolveInterfaceViaCCO("CCO/LocalSystem/LocalSubSystem/Workstations/ws1/Thing", "localhost");
    EXPECT_TRUE(CORBA::is_nil(found)); // strings, not an object
    found = handler.ResolveInterfaceViaCCO("a//b", "localhost");
    EXPECT_TRUE(CORBA::is_nil(found));
    found = handler.ResolveInterfaceViaCCO(nullptr, "localhost");
    EXPECT_TRUE(CORBA::is_nil(found));
    ASSERT_TRUE(cco->command(QStringLiteral("fault raise Resolve TRANSIENT")));
    found = handler.ResolveInterfaceViaCCO("CCO/LocalSystem/LocalSubSystem/Workstations/ws1/Obj/IF", "localhost");
    EXPECT_TRUE(CORBA::is_nil(found));
}

TEST_F(OrbHandlerTest, ReferenceSurvivesACcoRestart)
{
    auto cco = startCco();
    ASSERT_TRUE(init());
    ASSERT_TRUE(handler.ConnectToCCO(2, 500));
    CCO::IF_CCO_c_var ref = handler.GetCCO();

    cco->kill();
    EXPECT_FALSE(handler.CCOIsAvailable());
    EXPECT_THROW(CORBA::String_var(ref->GetSystemName()), CORBA::TRANSIENT);
    EXPECT_FALSE(handler.ConnectToCCO(2, 500));
    CCO::IF_CCO_c_var none = handler.GetCCO();
    EXPECT_TRUE(CORBA::is_nil(none));

    cco = startCco({QStringLiteral("--system"), QStringLiteral("Again")});
    ASSERT_TRUE(handler.ConnectToCCO(2, 500));
    CORBA::String_var name = ref->GetSystemName();
    EXPECT_STREQ(name.in(), "Again");

    // A clean stop leaves the client a connection that fails the next
    // request once; the second try of ConnectToCCO gets through.
    EXPECT_EQ(cco->stop(), 0);
    cco = startCco({QStringLiteral("--system"), QStringLiteral("Third")});
    EXPECT_TRUE(handler.ConnectToCCO(2, 500));
    EXPECT_TRUE(handler.CCOIsAvailable());
    CCO::IF_CCO_c_var fresh = handler.GetCCO();
    name = fresh->GetSystemName();
    EXPECT_STREQ(name.in(), "Third");
}

TEST_F(OrbHandlerTest, ServerThatStoppedAnsweringIsBoundedByTheTimeouts)
{
    auto cco = startCco();
    ASSERT_TRUE(init(800));
    ASSERT_TRUE(handler.ConnectToCCO(2, 500));
    CCO::IF_CCO_c_var ref = handler.GetCCO();

    cco->suspend();
    auto start = Clock::now();
    EXPECT_FALSE(handler.CCOIsAvailable());
    EXPECT_LT(msSince(start), 800);

    start = Clock::now();
    EXPECT_THROW(CCO::StringList_var(ref->GetSubSystems()), CORBA::TIMEOUT);
    EXPECT_GE(msSince(start), 700);
    EXPECT_LT(msSince(start), 1500);

    start = Clock::now();
    CORBA::Object_var obj = handler.ResolveInterfaceViaCCO("CCO/x", "localhost");
    EXPECT_TRUE(CORBA::is_nil(obj));
    EXPECT_LT(msSince(start), 1500);

    start = Clock::now();
    EXPECT_FALSE(handler.ConnectToCCO(2, 500));
    EXPECT_GE(msSince(start), 900);
    EXPECT_LT(msSince(start), 1600);

    cco->resume();
    EXPECT_TRUE(handler.ConnectToCCO(2, 500));
}

TEST_F(OrbHandlerTest, HungOperationTimesOutAndOthersGoOn)
{
    auto cco = startCco();
    ASSERT_TRUE(init(600));
    ASSERT_TRUE(handler.ConnectToCCO(2, 500));
    ASSERT_TRUE(cco->command(QStringLiteral("fault hang ResolveValues")));

    CCO::IF_CCO_c_var ref = handler.GetCCO();
    const auto start = Clock::now();
    EXPECT_THROW(CCO::StringList_var(ref->ResolveValues("CCO", CCO::RM_Default)), CORBA::TIMEOUT);
    EXPECT_LT(msSince(start), 1200);
    // Only that operation hangs.
    EXPECT_TRUE(handler.CCOIsAvailable());
    CORBA::String_var name = ref->GetSubSystemName();
    EXPECT_STREQ(name.in(), "SubSystem1");
}

TEST_F(OrbHandlerTest, TimeoutsFromTheEnvironment)
{
    auto cco = startCco();
    qputenv("VORN_CALL_TIMEOUT_MS", "300");
    const bool up = handler.Init({QStringLiteral("-ORBInitRef"), QStringLiteral("CCO=") + ccoLocation()});
    qunsetenv("VORN_CALL_TIMEOUT_MS");
    ASSERT_TRUE(up);
    ASSERT_TRUE(handler.ConnectToCCO(2, 500));
    ASSERT_TRUE(cco->command(QStringLiteral("fault hang GetSystemName")));
    CCO::IF_CCO_c_var ref = handler.GetCCO();
    const auto start = Clock::now();
    EXPECT_THROW(CORBA::String_var(ref->GetSystemName()), CORBA::TIMEOUT);
    EXPECT_GE(msSince(start), 250);
    EXPECT_LT(msSince(start), 700);
}

TEST_F(OrbHandlerTest, ObjectThatIsNotACcoDoesNotConnect)
{
    auto cco = startCco({QStringLiteral("--naming-only")});
    ASSERT_TRUE(init());
    EXPECT_FALSE(handler.ConnectToCCO(2, 500));
    CCO::IF_CCO_c_var none = handler.GetCCO();
    EXPECT_TRUE(CORBA::is_nil(none));
}

TEST_F(OrbHandlerTest, ConcurrentCallersFromForeignThreads)
{
    auto cco = startCco({QStringLiteral("--quiet")});
    ASSERT_TRUE(init());
    ASSERT_TRUE(handler.ConnectToCCO(2, 500));

    std::atomic<int> calls{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                auto &h = CorbaCommon::OrbHandler::Instance();
                if (t == 0 && i % 10 == 0) {
                    if (!h.ConnectToCCO(2, 500))
                        ++failures;
                    continue;
                }
                CCO::IF_CCO_c_var ref = h.GetCCO();
                try {
                    if (CORBA::is_nil(ref))
                        throw CORBA::TRANSIENT();
                    CCO::StringList_var list = ref->GetSubSystems();
                    ++calls;
                } catch (const CORBA::Exception &) {
                    ++failures;
                }
            }
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(calls.load(), 195);
    // In a sanitizer build a report of the server's makes its exit code non-zero.
    EXPECT_EQ(cco->stop(), 0);
}
