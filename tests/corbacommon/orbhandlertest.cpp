// CorbaCommon::OrbHandler against real cco-server processes. The ORB takes the "CCO" reference at Init,
// so the CCO's port is fixed for the program; every test brings the ORB up and down again.
#include "serverprocess.h"
#include "waituntil.h"

#include <orbhandler.h>
#include <orbhandlerhost.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using Clock = std::chrono::steady_clock;

namespace
{
const QString ccoPort = QString::number(testsupport::freeLoopbackPort());
const char *const objectName = "CCO/LocalSystem/LocalSubSystem/Workstations/ws1/Obj/IF";

// How long `f` took, in milliseconds.
template <typename F> long long msOf(F &&f)
{
    const auto start = Clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class OrbHandlerTest : public ::testing::Test
{
protected:
    CorbaCommon::OrbHandler &handler = CorbaCommon::OrbHandler::Instance();

    void TearDown() override { CorbaCommon::OrbHandlerHost::Shutdown(); }
    bool init(const QStringList &more = {"-ORBclientCallTimeOutPeriod", "1000"})
    {
        return CorbaCommon::OrbHandlerHost::Init(
            QStringList {"-ORBInitRef", "CCO=corbaloc::127.0.0.1:" + ccoPort + "/CCO"} + more);
    }
    std::unique_ptr<testsupport::ServerProcess> startCco(const QStringList &extra = {})
    {
        auto server = testsupport::startCcoServer(QStringList {"--port", ccoPort, "--workstation", "ws1"} + extra);
        EXPECT_TRUE(server->ready()) << server->errorText().toStdString();
        return server;
    }
    std::string systemName(CCO::IF_CCO_c_ptr cco) { return CORBA::String_var(cco->GetSystemName()).in(); }
};
}

TEST_F(OrbHandlerTest, NothingWorksBeforeInitAndAfterShutdown)
{
    for (int round = 0; round < 2; ++round) {
        EXPECT_FALSE(handler.orbIsAvailable());
        EXPECT_TRUE(CORBA::is_nil(CorbaCommon::OrbHandlerHost::Orb()));
        EXPECT_FALSE(handler.CCOIsAvailable());
        EXPECT_FALSE(handler.ConnectToCCO(2, 500));
        EXPECT_TRUE(CORBA::is_nil(CCO::IF_CCO_c_var(handler.GetCCO())));
        EXPECT_TRUE(CORBA::is_nil(CORBA::Object_var(handler.ResolveInterfaceViaCCO("CCO/x", "localhost"))));
        ASSERT_TRUE(init());
        EXPECT_TRUE(handler.orbIsAvailable());
        CorbaCommon::OrbHandlerHost::Shutdown();
    }
}

TEST_F(OrbHandlerTest, WithoutACcoConnectFailsInBoundedTime)
{
    ASSERT_TRUE(CorbaCommon::OrbHandlerHost::Init({}));
    // No initial reference: retrying cannot help.
    EXPECT_LT(msOf([&] { EXPECT_FALSE(handler.ConnectToCCO(2, 500)); }), 200);
    CorbaCommon::OrbHandlerHost::Shutdown();
    ASSERT_TRUE(init());
    EXPECT_LT(msOf([&] { EXPECT_FALSE(handler.ConnectToCCO(2, 500)); }), 1300);

    EXPECT_LT(msOf([&] { EXPECT_TRUE(CORBA::is_nil(CCO::IF_CCO_c_var(handler.GetCCO()))); }), 700);

    auto namingOnly = startCco({"--naming-only"}); // no IF_CCO_c
    EXPECT_FALSE(handler.ConnectToCCO(2, 500));
    EXPECT_TRUE(CORBA::is_nil(CCO::IF_CCO_c_var(handler.GetCCO())));
}

TEST_F(OrbHandlerTest, ConnectsHandsOutReferencesOfTheirOwnAndResolvesToNilOnAnyFailure)
{
    auto cco = startCco();
    ASSERT_TRUE(init());
    EXPECT_FALSE(handler.CCOIsAvailable());
    // A caller that finds no reference yet is not left without one while the CCO is there.
    EXPECT_EQ(systemName(CCO::IF_CCO_c_var(handler.GetCCO())), "VornSystem");
    EXPECT_TRUE(handler.CCOIsAvailable());
    ASSERT_TRUE(handler.ConnectToCCO(2, 500));
    // Each caller releases its reference; the next one still gets a usable one.
    for (int i = 0; i < 3; ++i) {
        CCO::_objref_IF_CCO_c *ref = handler.GetCCO();
        EXPECT_EQ(CORBA::String_var(ref->GetWorkstationName()).in(), std::string("ws1"));
        CORBA::release(ref);
    }

    CCO::IF_CCO_c_var ref = handler.GetCCO();
    ref->RegisterValues("CCO/LocalSystem/LocalSubSystem/Workstations/ws1/Strings", CCO::StringList(), CCO::RT_Single);
    ref->Register(objectName, ref, CCO::RT_Single);
    CORBA::Object_var found = handler.ResolveInterfaceViaCCO(objectName, "localhost");
    EXPECT_TRUE(!CORBA::is_nil(found) && found->_is_equivalent(ref));
    // Another host's CCO is asked at the same port on that host.
    found = handler.ResolveInterfaceViaCCO(objectName, "127.0.0.1");
    EXPECT_FALSE(CORBA::is_nil(found));

    for (const char *name : {"CCO/LocalSystem/LocalSubSystem/Workstations/ws1/Nothing",
             "CCO/LocalSystem/LocalSubSystem/Workstations/ws1/Strings", "a//b", static_cast<const char *>(nullptr)})
        EXPECT_TRUE(CORBA::is_nil(CORBA::Object_var(handler.ResolveInterfaceViaCCO(name, "localhost"))));
    ASSERT_TRUE(cco->command("fault raise Resolve TRANSIENT"));
    EXPECT_TRUE(CORBA::is_nil(CORBA::Object_var(handler.ResolveInterfaceViaCCO(objectName, "localhost"))));
}

// The handler serves several threads: a failed connect in one of them must not take the reference
// away from the others, who never connect again themselves.
TEST_F(OrbHandlerTest, ReferenceSurvivesACcoRestartAndAFailedConnectMeanwhile)
{
    auto cco = startCco();
    ASSERT_TRUE(init());
    ASSERT_TRUE(handler.ConnectToCCO(2, 500));
    CCO::IF_CCO_c_var ref = handler.GetCCO();

    cco->kill();
    EXPECT_FALSE(handler.CCOIsAvailable());
    EXPECT_THROW(systemName(ref), CORBA::TRANSIENT);
    EXPECT_FALSE(handler.ConnectToCCO(2, 500));
    CCO::IF_CCO_c_var kept = handler.GetCCO();
    ASSERT_FALSE(CORBA::is_nil(kept));

    cco = startCco({"--system", "Again"});
    EXPECT_EQ(systemName(kept), "Again");
    EXPECT_TRUE(handler.CCOIsAvailable());
    ASSERT_TRUE(handler.ConnectToCCO(2, 500));
    EXPECT_EQ(systemName(ref), "Again");
    // A clean stop leaves a connection that fails the next request once; the second try gets through.
    EXPECT_EQ(cco->stop(), 0);
    cco = startCco({"--system", "Third"});
    EXPECT_TRUE(handler.ConnectToCCO(2, 500));
    EXPECT_TRUE(handler.CCOIsAvailable());
    EXPECT_EQ(systemName(CCO::IF_CCO_c_var(handler.GetCCO())), "Third");
}

TEST_F(OrbHandlerTest, ServerThatStoppedAnsweringIsBoundedByTheTimeouts)
{
    auto cco = startCco();
    ASSERT_TRUE(init({"-ORBclientCallTimeOutPeriod", "800"}));
    ASSERT_TRUE(handler.ConnectToCCO(2, 500));
    CCO::IF_CCO_c_var ref = handler.GetCCO();

    cco->suspend();
    EXPECT_LT(msOf([&] { EXPECT_FALSE(handler.CCOIsAvailable()); }), 800);
    long long ms = msOf([&] { EXPECT_THROW(systemName(ref), CORBA::TIMEOUT); });
    EXPECT_GE(ms, 700);
    EXPECT_LT(ms, 1500);
    EXPECT_LT(
        msOf([&] { EXPECT_TRUE(CORBA::is_nil(CORBA::Object_var(handler.ResolveInterfaceViaCCO("x", "")))); }), 1500);
    ms = msOf([&] { EXPECT_FALSE(handler.ConnectToCCO(2, 500)); });
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 1600);

    cco->resume();
    EXPECT_TRUE(handler.ConnectToCCO(2, 500));
}

TEST_F(OrbHandlerTest, HungOperationTimesOutAfterTheTimeoutFromTheEnvironmentAndOthersGoOn)
{
    auto cco = startCco();
    qputenv("VORN_CALL_TIMEOUT_MS", "300");
    const bool up = init({});
    qunsetenv("VORN_CALL_TIMEOUT_MS");
    ASSERT_TRUE(up);
    ASSERT_TRUE(handler.ConnectToCCO(2, 500));
    ASSERT_TRUE(cco->command("fault hang GetSystemName"));
    CCO::IF_CCO_c_var ref = handler.GetCCO();
    const long long ms = msOf([&] { EXPECT_THROW(systemName(ref), CORBA::TIMEOUT); });
    EXPECT_GE(ms, 250);
    EXPECT_LT(ms, 700);
    EXPECT_TRUE(handler.CCOIsAvailable());
    EXPECT_EQ(CORBA::String_var(ref->GetSubSystemName()).in(), std::string("SubSystem1"));
}

// A timeout of 0 would make every call wait forever on a hung server, a negative one is no time at
// all: both are refused with a message, and the next source (environment, then default) applies.
TEST_F(OrbHandlerTest, TimeoutsThatAreNotPositiveAreRefusedAndTheDefaultKept)
{
    static QStringList warnings;
    const QtMessageHandler previous
        = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &text) { warnings << text; });
    auto cco = startCco();
    qputenv("VORN_CALL_TIMEOUT_MS", "0");
    qputenv("VORN_CONNECT_TIMEOUT_MS", "-1");
    const bool up = init({"-ORBclientCallTimeOutPeriod", "0", "-ORBclientConnectTimeOutPeriod", "-5"});
    qunsetenv("VORN_CALL_TIMEOUT_MS");
    qunsetenv("VORN_CONNECT_TIMEOUT_MS");
    qInstallMessageHandler(previous);
    ASSERT_TRUE(up);
    for (const char *source : {"-ORBclientCallTimeOutPeriod", "-ORBclientConnectTimeOutPeriod", "VORN_CALL_TIMEOUT_MS",
             "VORN_CONNECT_TIMEOUT_MS"})
        EXPECT_EQ(warnings.filter(source).size(), 1) << source << ": " << warnings.join('\n').toStdString();

    ASSERT_TRUE(handler.ConnectToCCO(2, 500));
    ASSERT_TRUE(cco->command("fault hang GetSystemName"));
    // Waited for on a thread of its own, so that an unbounded call fails the test instead of hanging it.
    std::atomic<bool> timedOut {false}, done {false};
    std::thread caller([&] {
        try {
            systemName(CCO::IF_CCO_c_var(handler.GetCCO()));
        } catch (const CORBA::TIMEOUT &) {
            timedOut = true;
        } catch (const CORBA::Exception &) {
        }
        done = true;
    });
    const auto start = Clock::now();
    const int defaultMs = CorbaCommon::OrbHandlerHost::DefaultCallTimeoutMs;
    testsupport::waitUntil([&] { return done.load(); }, 2 * defaultMs, 10);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_TRUE(done.load()) << "the call was not bounded";
    cco->command("fault clear");
    caller.join();
    EXPECT_TRUE(timedOut.load());
    EXPECT_GE(ms, defaultMs - 100);
}

TEST_F(OrbHandlerTest, ConcurrentCallersFromForeignThreads)
{
    auto cco = startCco({"--quiet"});
    ASSERT_TRUE(init());
    ASSERT_TRUE(handler.ConnectToCCO(2, 500));
    std::atomic<int> calls {0}, failures {0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                if (t == 0 && i % 10 == 0) {
                    failures += handler.ConnectToCCO(2, 500) ? 0 : 1;
                    continue;
                }
                try {
                    CCO::IF_CCO_c_var ref = handler.GetCCO();
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

// A refused try gives a starting server the rest of its time slot, the
// caller's time rather than the configured one, and the last try waits for
// nothing.
TEST_F(OrbHandlerTest, PerTryTimeIsTheCallersAndNotWaitedOutAfterTheLastTry)
{
    ASSERT_TRUE(init());
    for (const int perTry : {300, 900}) {
        const long long ms = msOf([&] { EXPECT_FALSE(handler.ConnectToCCO(2, perTry)); });
        EXPECT_GE(ms, perTry);
        EXPECT_LT(ms, 2 * perTry);
    }
}
