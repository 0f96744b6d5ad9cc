// cco-server against clients that are hostile or broken: names deep and long
// enough to overflow a recursive server, oversized value lists, callback
// targets that never answer, and ORB settings given by the operator.
#include "servicescco.h"
#include "waituntil.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

using namespace ccoclient;
using ccoclient::stat;
using NC = CosNaming::NamingContext;
using CcoLimits = testsupport::CcoServerFixture;
using CcoCallbacks = testsupport::CcoServerFixture;
using ServerOptions = testsupport::CcoServerFixture;

namespace
{
std::string repeat(const std::string &piece, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}
}

TEST_F(CcoLimits, DeepLongAndLargeRequestsAreRefusedCountedAndSurvived)
{
    ASSERT_NO_FATAL_FAILURE(startCco());

    // Names that crashed a recursive store: refused, and the server lives on.
    const std::string deep = repeat("d/", 20000) + "x";
    EXPECT_THROW(cco->RegisterValues(deep.c_str(), values({"v"}), CCO::RT_Single), NC::InvalidName);
    EXPECT_THROW(resolve(cco, repeat("d/", 200000) + "x"), NC::InvalidName);
    EXPECT_THROW(cco->Register((repeat("e/", 40) + "x").c_str(), cco, CCO::RT_Single), NC::InvalidName);
    EXPECT_THROW(cco->RegisterValues("Dev/many", values(Strings(1001, "v")), CCO::RT_Single), CORBA::IMP_LIMIT);
    EXPECT_THROW(cco->RegisterValues("Dev/long", values({std::string(5000, 'v')}), CCO::RT_Single), CORBA::IMP_LIMIT);
    EXPECT_EQ(stat(*server, "name-length"), 2);
    EXPECT_EQ(stat(*server, "name-depth"), 1);
    EXPECT_EQ(stat(*server, "value-count"), 1);
    EXPECT_EQ(stat(*server, "value-length"), 1);
    EXPECT_GE(server->waitForLine("LIMIT name-length refused 1 call(s)", 2000), 0);
    EXPECT_THROW(resolve(cco, "Dev/many"), NC::NotFound);

    // Within the limits, names as deep as allowed are stored and listed. (That deep names come back
    // from the state file is AStateFileOfDeepNamesStaysSmallAndLoadable's part.)
    const std::string deepest = "CCO/" + repeat("s/", 31) + "x";
    cco->RegisterValues(deepest.c_str(), values({"deep"}), CCO::RT_Single);
    EXPECT_EQ(resolve(cco, "CCO/s"), Strings {"s"});
    EXPECT_EQ(resolve(cco, deepest), Strings {"deep"});
}

TEST_F(CcoLimits, ContextsEmptiedByShortLivedNamesAreGivenBack)
{
    ASSERT_NO_FATAL_FAILURE(startCco({"--max-empty-contexts", "50"}));
    const long contexts = stat(*server, "contexts");
    for (int i = 0; i < 300; ++i) {
        const std::string name = "Churn/" + std::to_string(i) + "/leaf";
        cco->RegisterValues(name.c_str(), values({}), CCO::RT_Single);
        cco->UnregisterValues(name.c_str(), CCO::RT_Single);
    }
    // Each kept leaf may keep its emptied parent ("Churn/<i>").
    EXPECT_LE(stat(*server, "contexts"), contexts + 2 * 50 + 2);
    EXPECT_EQ(resolve(cco, "Churn"), Strings {});
}

TEST_F(CcoLimits, AStateFileOfDeepNamesStaysSmallAndLoadable)
{
    // A nesting format grew with the depth and could not be read back.
    QTemporaryDir dir;
    const QString state = dir.filePath("cco.state");
    const QStringList generous = {"--state-file", state, "--max-name-depth", "6000", "--max-name-length", "20000"};
    ASSERT_NO_FATAL_FAILURE(startCco(generous));
    const std::string deep = "CCO/" + repeat("d/", 5000) + "x";
    cco->RegisterValues(deep.c_str(), values({"bottom"}), CCO::RT_Single);
    server->stop();
    // A row of the name and its position: a few bytes a level, nothing nested.
    EXPECT_LT(QFileInfo(state).size(), 64 * 1024);

    ASSERT_NO_FATAL_FAILURE(startCco(generous));
    EXPECT_EQ(resolve(cco, deep), Strings {"bottom"});
}

TEST_F(CcoCallbacks, UnreachableCallbackTargetsDelayNoRegistration)
{
    // A listener whose queue is full: connection attempts to it go unanswered.
    const auto [blackhole, port] = testsupport::listenOnLoopback(0);
    ASSERT_GE(blackhole, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ::connect(fillers.back(), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    }

    ASSERT_NO_FATAL_FAILURE(startCco());
    const std::string target = "corbaloc::127.0.0.1:" + std::to_string(port) + "/Callback";
    CORBA::Object_var obj = clientOrb(5000)->string_to_object(target.c_str());
    CCO::Callback_var callback = CCO::Callback::_unchecked_narrow(obj);
    const CCO::CallbackEntryList watched = entries({{CCO::NK_Registered, "Watched"}});
    std::vector<CCO::CBRegistration_var> registrations;
    for (int i = 0; i < 20; ++i)
        registrations.emplace_back(cco->register_callback(callback, watched));

    // Each notification may take the server's connect timeout (500 ms); the
    // registering client must wait for none of them.
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer clock;
        clock.start();
        cco->RegisterValues(("Watched/" + std::to_string(i)).c_str(), values({"v"}), CCO::RT_Single);
        EXPECT_LT(clock.elapsed(), 500) << "registration " << i << " waited for callbacks";
    }
    // Targets that fail are dropped, one after another, each after one bounded attempt.
    EXPECT_TRUE(testsupport::waitUntil([&] { return stat(*server, "callbacks") < 20; }, 30000, 100));

    // And the number of registrations is capped.
    ASSERT_NO_FATAL_FAILURE(startCco({"--max-callbacks", "2"}));
    registrations.emplace_back(cco->register_callback(callback, watched));
    registrations.emplace_back(cco->register_callback(callback, watched));
    EXPECT_THROW(CCO::CBRegistration_var(cco->register_callback(callback, watched)), CORBA::NO_RESOURCES);

    for (int fd : fillers)
        ::close(fd);
    ::close(blackhole);
}

TEST_F(ServerOptions, OrbArgumentsAndConfigurationFilesReachTheOrb)
{
    clientOrb(5000);
    QTemporaryDir dir;
    // Each value within the store's limit, the message beyond the ORB's.
    const std::string part(3000, 'b');
    const QString config = dir.filePath("omniORB.cfg");
    ASSERT_NO_FATAL_FAILURE(testsupport::writeFile(config, "# small messages only\ngiopMaxMsgSize = 8192\n"));
    // A limit of 8192 bytes set on the command line, in a configuration file, or by the operator's
    // environment and the file that OMNIORB_CONFIG names, which come before the server's defaults;
    // a server option given on the command line comes before them.
    const struct
    {
        const char *variable;
        QByteArray value;
        QStringList args;
        bool bigPasses;
    } settings[] = {{nullptr, {}, {"--orb-config", config, "--listen", "127.0.0.1"}, false},
        {nullptr, {}, {"-ORBgiopMaxMsgSize", "8192"}, false}, {nullptr, {}, {"--max-message-size", "8192"}, false},
        {"ORBgiopMaxMsgSize", "8192", {}, false}, {"OMNIORB_CONFIG", config.toLocal8Bit(), {}, false},
        {"ORBgiopMaxMsgSize", "8192", {"--max-message-size", "65536"}, true},
        {"OMNIORB_CONFIG", config.toLocal8Bit(), {"--max-message-size", "65536"}, true}};
    for (const auto &setting : settings) {
        SCOPED_TRACE(std::string(setting.variable ? setting.variable : "") + "=" + setting.value.toStdString() + " "
            + setting.args.join(' ').toStdString());
        // The child inherits the variable; this process's ORB is up already. It is unset before a
        // failure can end the test: the tests after it start servers too.
        if (setting.variable)
            qputenv(setting.variable, setting.value);
        startCco(setting.args);
        if (setting.variable)
            qunsetenv(setting.variable);
        ASSERT_FALSE(HasFatalFailure());
        if (setting.bigPasses)
            EXPECT_NO_THROW(cco->RegisterValues("Big", values({part, part, part}), CCO::RT_Single));
        else
            EXPECT_THROW(
                cco->RegisterValues("Big", values({part, part, part}), CCO::RT_Single), CORBA::SystemException);
        cco->RegisterValues("Small", values({"s"}), CCO::RT_Single);
    }
    // A setting the ORB refuses: the ORB's own line comes before the server's. (The server's own
    // refusals of ORB arguments are among ServerPrograms.CommandLinesStartFaultsAndSignals's.)
    auto refused = testsupport::startCcoServer({"-ORBnoSuchSetting", "1"}, 5000);
    EXPECT_FALSE(refused->ready());
    EXPECT_GE(refused->waitForLine("stderr: cco-server: ", 5000), 0);
}
