// cco-server against clients that are hostile or broken: names deep and long
// enough to overflow a recursive server, oversized value lists, callback
// targets that never answer, and ORB settings given by the operator.
#include "ccoclient.h"
#include "serverprocess.h"
#include "waituntil.h"

#include <cco.hh>
#include <orbhandler.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace ccoclient;
using ccoclient::stat;
using NC = CosNaming::NamingContext;
using testsupport::ServerProcess;

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

TEST(CcoLimits, DeepLongAndLargeRequestsAreRefusedCountedAndSurvived)
{
    QTemporaryDir dir;
    const QString state = dir.filePath("cco.state");
    auto server = testsupport::startCcoServer({"--state-file", state});
    ASSERT_TRUE(server->ready()) << qPrintable(server->errorText());
    CCO::IF_CCO_c_var cco = connectCco(*server, 5000);
    ASSERT_FALSE(CORBA::is_nil(cco));

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

    // Within the limits, names as deep as allowed are stored, listed and
    // come back after a crash.
    const std::string deepest = "CCO/" + repeat("s/", 31) + "x";
    cco->RegisterValues(deepest.c_str(), values({"deep"}), CCO::RT_Single);
    EXPECT_EQ(resolve(cco, "CCO/s"), Strings {"s"});
    server->kill();
    server = testsupport::startCcoServer({"--state-file", state});
    ASSERT_TRUE(server->ready()) << qPrintable(server->errorText());
    cco = connectCco(*server, 5000);
    EXPECT_EQ(resolve(cco, deepest), Strings {"deep"});
}

TEST(CcoLimits, ContextsEmptiedByShortLivedNamesAreGivenBack)
{
    auto server = testsupport::startCcoServer({"--max-empty-contexts", "50"});
    ASSERT_TRUE(server->ready()) << qPrintable(server->errorText());
    CCO::IF_CCO_c_var cco = connectCco(*server, 5000);
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

TEST(CcoLimits, AStateFileOfDeepNamesStaysSmallAndLoadable)
{
    // A nesting format grew with the depth and could not be read back.
    QTemporaryDir dir;
    const QString state = dir.filePath("cco.state");
    const QStringList generous = {"--state-file", state, "--max-name-depth", "6000", "--max-name-length", "20000"};
    auto server = testsupport::startCcoServer(generous);
    ASSERT_TRUE(server->ready()) << qPrintable(server->errorText());
    CCO::IF_CCO_c_var cco = connectCco(*server, 5000);
    const std::string deep = "CCO/" + repeat("d/", 5000) + "x";
    cco->RegisterValues(deep.c_str(), values({"bottom"}), CCO::RT_Single);
    server->stop();
    // A row of the name and its position: a few bytes a level, nothing nested.
    EXPECT_LT(QFileInfo(state).size(), 64 * 1024);

    server = testsupport::startCcoServer(generous);
    ASSERT_TRUE(server->ready()) << qPrintable(server->errorText());
    cco = connectCco(*server, 5000);
    EXPECT_EQ(resolve(cco, deep), Strings {"bottom"});
}

TEST(CcoCallbacks, UnreachableCallbackTargetsDelayNoRegistration)
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

    auto server = testsupport::startCcoServer();
    ASSERT_TRUE(server->ready());
    CCO::IF_CCO_c_var cco = connectCco(*server, 5000);
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
    auto capped = testsupport::startCcoServer({"--max-callbacks", "2"});
    ASSERT_TRUE(capped->ready());
    CCO::IF_CCO_c_var small = connectCco(*capped, 5000);
    registrations.emplace_back(small->register_callback(callback, watched));
    registrations.emplace_back(small->register_callback(callback, watched));
    EXPECT_THROW(CCO::CBRegistration_var(small->register_callback(callback, watched)), CORBA::NO_RESOURCES);

    for (int fd : fillers)
        ::close(fd);
    ::close(blackhole);
}

TEST(ServerOptions, OrbArgumentsAndConfigurationFilesReachTheOrb)
{
    clientOrb(5000);
    QTemporaryDir dir;
    // Each value within the store's limit, the message beyond the ORB's.
    const std::string part(3000, 'b');
    const QString config = dir.filePath("omniORB.cfg");
    {
        QFile file(config);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("# small messages only\ngiopMaxMsgSize = 8192\n");
    }
    for (const QStringList &args : {QStringList {"--orb-config", config}, QStringList {"-ORBgiopMaxMsgSize", "8192"},
             QStringList {"--max-message-size", "8192"}}) {
        SCOPED_TRACE(args.join(' ').toStdString());
        auto server = testsupport::startCcoServer(args + QStringList {"--listen", "127.0.0.1"});
        ASSERT_TRUE(server->ready()) << qPrintable(server->errorText());
        CCO::IF_CCO_c_var cco = connectCco(*server, 5000);
        EXPECT_THROW(cco->RegisterValues("Big", values({part, part, part}), CCO::RT_Single), CORBA::SystemException);
        cco->RegisterValues("Small", values({"s"}), CCO::RT_Single);
    }
    // The operator's settings from the environment and from the file that
    // OMNIORB_CONFIG names come before the server's defaults; a server
    // option given on the command line comes before them.
    const struct
    {
        const char *variable;
        QByteArray value;
        QStringList args;
        bool bigPasses;
    } operatorSettings[]
        = {{"ORBgiopMaxMsgSize", "8192", {}, false}, {"OMNIORB_CONFIG", config.toLocal8Bit(), {}, false},
            {"ORBgiopMaxMsgSize", "8192", {"--max-message-size", "65536"}, true},
            {"OMNIORB_CONFIG", config.toLocal8Bit(), {"--max-message-size", "65536"}, true}};
    for (const auto &setting : operatorSettings) {
        SCOPED_TRACE(std::string(setting.variable) + "=" + setting.value.toStdString() + " "
            + setting.args.join(' ').toStdString());
        // The child inherits the variable; this process's ORB is up already.
        qputenv(setting.variable, setting.value);
        auto server = testsupport::startCcoServer(setting.args);
        qunsetenv(setting.variable);
        ASSERT_TRUE(server->ready()) << qPrintable(server->errorText());
        CCO::IF_CCO_c_var cco = connectCco(*server, 5000);
        if (setting.bigPasses)
            EXPECT_NO_THROW(cco->RegisterValues("Big", values({part, part, part}), CCO::RT_Single));
        else
            EXPECT_THROW(
                cco->RegisterValues("Big", values({part, part, part}), CCO::RT_Single), CORBA::SystemException);
        cco->RegisterValues("Small", values({"s"}), CCO::RT_Single);
    }
    for (const QStringList &args : {QStringList {"-ORBnoSuchSetting", "1"}, QStringList {"-ORBtraceLevel"},
             QStringList {"--orb-config", dir.filePath("missing.cfg")}}) {
        auto server = testsupport::startCcoServer(args, 5000);
        EXPECT_FALSE(server->ready()) << args.join(' ').toStdString();
        EXPECT_GE(server->waitForLine("stderr: cco-server: ", 5000), 0);
    }
}
