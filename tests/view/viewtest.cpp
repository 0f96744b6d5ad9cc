// installation-view's parts: reading our matrix-server's texts, its command
// line, one refresh against real servers (also hung and stopped ones), and
// the HTTP side that the page talks to.
#include "installationreader.h"
#include "matrixtext.h"
#include "statepublisher.h"
#include "vieworb.h"
#include "viewsettings.h"
#include "webserver.h"

#include "serverprocess.h"
#include "waituntil.h"

#include <cco.hh>
#include <matrixmanager.hh>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>

#include <httplib.h>

#include <gtest/gtest.h>

#include <csignal>

using namespace installationview;
using testsupport::ServerProcess;

namespace
{
constexpr int callTimeoutMs = 500;
const QString category = QStringLiteral("CCO/LocalSystem/LocalSubSystem/CentralServices/Receiver/PulseAnalysis");
const char *const matrixName = "CCO/LocalSystem/LocalSubSystem/Workstations/ws1/AntennaMatrixManager1/IF_MMR_c";

ViewSettings settingsFor(const ServerProcess &cco)
{
    ViewSettings s;
    s.ccoLocation = cco.corbaloc();
    s.callTimeoutMs = callTimeoutMs;
    return s;
}

CORBA::Object_ptr object(const QString &location)
{
    int argc = 0;
    CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr, "omniORB4");
    return orb->string_to_object(location.toLatin1().constData());
}

void registerValues(const ServerProcess &ccoServer, const QString &name, const QStringList &values)
{
    CORBA::Object_var obj = object(ccoServer.corbaloc());
    CCO::IF_CCO_c_var cco = CCO::IF_CCO_c::_narrow(obj);
    CCO::StringList list;
    list.length(CORBA::ULong(values.size()));
    for (int i = 0; i < values.size(); ++i)
        list[CORBA::ULong(i)] = CORBA::string_dup(values.at(i).toLatin1().constData());
    cco->RegisterValues(name.toLatin1().constData(), list, CCO::RT_Single);
}

void unregisterValues(const ServerProcess &ccoServer, const QString &name)
{
    CORBA::Object_var obj = object(ccoServer.corbaloc());
    CCO::IF_CCO_c_var cco = CCO::IF_CCO_c::_narrow(obj);
    cco->UnregisterValues(name.toLatin1().constData(), CCO::RT_Single);
}

QJsonObject findByName(const QJsonArray &array, const QString &name)
{
    for (const QJsonValue &v : array) {
        if (v.toObject().value(QStringLiteral("name")).toString() == name)
            return v.toObject();
    }
    return {};
}

struct Installation
{
    std::unique_ptr<ServerProcess> cco = testsupport::startCcoServer(
        {"--system", "ViewSystem", "--subsystem", "SubA", "--subsystems", "SubA", "--workstation", "ws1"});
    std::unique_ptr<ServerProcess> matrix = testsupport::startMatrixServer(cco->corbaloc(),
        {"--workstation", "ws1", "--id", "1", "--inputs", "8", "--outputs", "4", "--retry-interval", "100"});
    bool ready()
    {
        return cco->ready() && matrix->ready() && matrix->waitForLine(QStringLiteral("REGISTERED"), 10000) >= 0;
    }
};
}

TEST(MatrixTexts, OurFormatBecomesAGrid)
{
    const auto grid = parseMatrixTexts(QStringLiteral("out 2 <- in 3; out 4 <- in 8"),
        QStringLiteral("inputs=8 outputs=4 init=true ranges=supported connections=2 "
                       "calls.connect=2 ranges.out2=3:1500000:30000000,6:-5:3000000000"),
        8, 4);
    ASSERT_TRUE(grid);
    EXPECT_EQ(grid->inputOfOutput, (QVector<int> {0, 3, 0, 8}));
    ASSERT_EQ(grid->ranges.size(), 2);
    EXPECT_EQ(grid->ranges[1].output, 2);
    EXPECT_EQ(grid->ranges[1].input, 6);
    EXPECT_EQ(grid->ranges[1].start, -5);
    EXPECT_EQ(grid->ranges[1].stop, 3000000000LL);

    const auto empty = parseMatrixTexts(QString(), QStringLiteral("inputs=2 outputs=1 connections=0"), 2, 1);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->inputOfOutput, QVector<int> {0});
}

// A grid drawn from a text we only half understand would show switches that
// do not exist; these must stay text.
TEST(MatrixTexts, AnythingElseStaysText)
{
    const QString status = QStringLiteral("inputs=8 outputs=4");
    const struct
    {
        const char *connections;
        const char *status;
    } cases[] = {
        {"IN3->OUT2", "inputs=8 outputs=4"}, // another manager's format
        {"out 2 <- in 9", "inputs=8 outputs=4"}, // beyond the ports it reports
        {"out 5 <- in 1", "inputs=8 outputs=4"},
        {"out 2 <- in 3; out 2 <- in 4", "inputs=8 outputs=4"}, // one output twice
        {"out 2 <- in 3;out 1 <- in 4", "inputs=8 outputs=4"},
        {"out 0 <- in 3", "inputs=8 outputs=4"},
        {"", "inputs=16 outputs=4"}, // counts disagree with the attributes
        {"", "outputs=4"},
        {"", "inputs=8 outputs=4 ranges.out2=3:1:x"},
        {"", "inputs=8 outputs=4 ranges.out9=3:1:2"},
        {"", "inputs=8 outputs=4 free text"},
        {"", "inputs=8 outputs=4 ranges.out2=99999999999999999999:1:2"},
    };
    for (const auto &c : cases)
        EXPECT_FALSE(parseMatrixTexts(QString::fromLatin1(c.connections), QString::fromLatin1(c.status), 8, 4))
            << c.connections << " | " << c.status;
    EXPECT_FALSE(parseMatrixTexts(QString(), status, 0, 4));
}

TEST(Settings, DefaultsAndBadInput)
{
    const auto run = [](QStringList args) { return parseSettings(QStringList {"installation-view"} + args); };
    const ParsedSettings ok = run({"--cco", "corbaloc::127.0.0.1:2809/CCO"});
    ASSERT_EQ(ok.outcome, ParsedSettings::Outcome::Run) << ok.text.toStdString();
    EXPECT_EQ(ok.settings.listenHost, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(ok.settings.listenPort, 8080);
    EXPECT_EQ(ok.settings.refreshMs, 1000);

    const ParsedSettings v6 = run({"--cco", "corbaloc::h:1/CCO", "--listen", "[::1]:0", "--", "-ORBtraceLevel", "1"});
    ASSERT_EQ(v6.outcome, ParsedSettings::Outcome::Run) << v6.text.toStdString();
    EXPECT_EQ(v6.settings.listenHost, QStringLiteral("::1"));
    EXPECT_EQ(v6.settings.orbArguments, (QStringList {"-ORBtraceLevel", "1"}));

    // Options with their value after "=", as every program of the project takes them.
    const ParsedSettings joined = run({"--cco=corbaloc::h:1/CCO", "--listen=127.0.0.1:0", "--refresh=250",
        "--category=A/B", "--category", "C"});
    ASSERT_EQ(joined.outcome, ParsedSettings::Outcome::Run) << joined.text.toStdString();
    EXPECT_EQ(joined.settings.listenPort, 0);
    EXPECT_EQ(joined.settings.refreshMs, 250);
    EXPECT_EQ(joined.settings.categories.mid(1), (QStringList {"A/B", "C"}));

    const QStringList bad[] = {
        {},
        {"--cco"},
        {"--cco", "127.0.0.1:2809"},
        {"--cco", "corbaloc::h:1/CCO", "--listen", "8080"},
        {"--cco", "corbaloc::h:1/CCO", "--listen", "::1:8080"},
        {"--cco", "corbaloc::h:1/CCO", "--listen", "127.0.0.1:70000"},
        {"--cco", "corbaloc::h:1/CCO", "--listen", "some.host:80"},
        {"--cco", "corbaloc::h:1/CCO", "--refresh", "10"},
        {"--cco", "corbaloc::h:1/CCO", "--call-timeout", "x"},
        {"--cco", "corbaloc::h:1/CCO", "--category", "/abs"},
        {"--cco", "corbaloc::h:1/CCO", "--frobnicate"},
        {"--cco", "corbaloc::h:1/CCO", "stray"},
        {"--cco=", "--listen", "127.0.0.1:1"},
        // Serving the installation to the network is never a default.
        {"--cco", "corbaloc::h:1/CCO", "--listen", "0.0.0.0:8080"},
        {"--cco", "corbaloc::h:1/CCO", "--listen", "[::]:8080"},
    };
    for (const QStringList &args : bad) {
        const ParsedSettings parsed = run(args);
        EXPECT_EQ(parsed.outcome, ParsedSettings::Outcome::Error) << args.join(' ').toStdString();
        EXPECT_FALSE(parsed.text.isEmpty());
    }
    EXPECT_EQ(run({"--cco", "corbaloc::h:1/CCO", "--listen", "0.0.0.0:8080", "--allow-remote"}).outcome,
        ParsedSettings::Outcome::Run);
    const ParsedSettings help = run({"--help"});
    EXPECT_EQ(help.outcome, ParsedSettings::Outcome::Help);
    EXPECT_TRUE(help.text.contains(QStringLiteral("--listen <ADDRESS:PORT>"))) << help.text.toStdString();
}

TEST(Reader, FollowsSwitchesRegistrationsAndRemovals)
{
    Installation inst;
    ASSERT_TRUE(inst.ready());
    const int deadPort = testsupport::freeLoopbackPort();
    registerValues(*inst.cco, category + QStringLiteral("/RX1"),
        {"127.0.0.1", "127.0.0.1_RX1", "test", QString::number(deadPort)});
    registerValues(*inst.cco, category + QStringLiteral("/ODD"), {"only", "two"});

    InstallationReader reader(settingsFor(*inst.cco));
    QJsonObject state = reader.refresh(2 * callTimeoutMs);
    const QJsonObject cco = state.value(QStringLiteral("cco")).toObject();
    EXPECT_TRUE(cco.value(QStringLiteral("answering")).toBool());
    EXPECT_EQ(cco.value(QStringLiteral("system")).toString(), QStringLiteral("ViewSystem"));

    const QJsonObject sub = findByName(state.value(QStringLiteral("subsystems")).toArray(), QStringLiteral("SubA"));
    const QJsonObject ws = findByName(sub.value(QStringLiteral("workstations")).toArray(), QStringLiteral("ws1"));
    EXPECT_TRUE(ws.value(QStringLiteral("entries")).toArray().contains(QStringLiteral("AntennaMatrixManager1")));
    const QJsonArray objects
        = sub.value(QStringLiteral("categories")).toArray().at(0).toObject().value(QStringLiteral("objects")).toArray();
    EXPECT_EQ(findByName(objects, QStringLiteral("ODD")).value(QStringLiteral("values")).toArray().size(), 2);

    // Only entries that name a host and a port are receivers; this one's tree is nowhere.
    QJsonArray receivers = state.value(QStringLiteral("receivers")).toArray();
    ASSERT_EQ(receivers.size(), 1);
    const QJsonObject rx = receivers.at(0).toObject();
    EXPECT_EQ(rx.value(QStringLiteral("port")).toInt(), deadPort);
    EXPECT_FALSE(rx.value(QStringLiteral("tree")).toObject().value(QStringLiteral("answering")).toBool(true));

    QJsonArray matrices = state.value(QStringLiteral("matrices")).toArray();
    ASSERT_EQ(matrices.size(), 1);
    QJsonObject matrix = matrices.at(0).toObject();
    EXPECT_TRUE(matrix.value(QStringLiteral("answering")).toBool());
    EXPECT_EQ(matrix.value(QStringLiteral("inputs")).toInt(), 8);
    EXPECT_EQ(matrix.value(QStringLiteral("grid")).toObject().value(QStringLiteral("inputOfOutput")).toArray(),
        (QJsonArray {0, 0, 0, 0}));

    {
        CORBA::Object_var obj = object(inst.cco->corbaloc());
        CCO::IF_CCO_c_var ccoRef = CCO::IF_CCO_c::_narrow(obj);
        CORBA::Object_var m = ccoRef->Resolve(matrixName, CCO::RM_Default);
        MatrixManager::IF_MMR_c_var mmr = MatrixManager::IF_MMR_c::_narrow(m);
        mmr->connect(3, 2);
    }
    unregisterValues(*inst.cco, category + QStringLiteral("/RX1"));
    state = reader.refresh(2 * callTimeoutMs);
    matrix = state.value(QStringLiteral("matrices")).toArray().at(0).toObject();
    EXPECT_EQ(matrix.value(QStringLiteral("grid")).toObject().value(QStringLiteral("inputOfOutput")).toArray(),
        (QJsonArray {0, 3, 0, 0}));
    EXPECT_TRUE(state.value(QStringLiteral("receivers")).toArray().isEmpty());
}

// Nothing that hangs may hold a refresh longer than the call timeout, and
// what was seen last stays, marked, rather than a blank.
TEST(Reader, HungAndStoppedServers)
{
    Installation inst;
    ASSERT_TRUE(inst.ready());
    registerValues(*inst.cco, category + QStringLiteral("/RX1"), {"127.0.0.1", "d", "i", "1"});
    InstallationReader reader(settingsFor(*inst.cco));
    ASSERT_TRUE(reader.refresh(2 * callTimeoutMs)
                    .value(QStringLiteral("cco"))
                    .toObject()
                    .value(QStringLiteral("answering"))
                    .toBool());

    // A hung matrix manager costs a refresh no more than the wait it is given.
    ASSERT_TRUE(inst.matrix->command(QStringLiteral("fault hang *")));
    const int probeWaitMs = 100;
    QElapsedTimer timer;
    timer.start();
    QJsonObject state = reader.refresh(probeWaitMs);
    EXPECT_LT(timer.elapsed(), callTimeoutMs);
    EXPECT_TRUE(state.value(QStringLiteral("cco")).toObject().value(QStringLiteral("answering")).toBool());
    EXPECT_TRUE(testsupport::waitUntil(
        [&] {
            const QJsonObject m
                = reader.refresh(probeWaitMs).value(QStringLiteral("matrices")).toArray().at(0).toObject();
            return !m.value(QStringLiteral("answering")).toBool(true)
                && m.value(QStringLiteral("error")).toString().contains(QStringLiteral("TIMEOUT"))
                && m.value(QStringLiteral("inputs")).toInt() == 8;
        },
        4 * callTimeoutMs, 50));
    ASSERT_TRUE(inst.matrix->command(QStringLiteral("fault clear")));

    ASSERT_TRUE(inst.cco->command(QStringLiteral("fault hang *")));
    timer.restart();
    state = reader.refresh(probeWaitMs);
    EXPECT_LT(timer.elapsed(), 2 * callTimeoutMs);
    QJsonObject cco = state.value(QStringLiteral("cco")).toObject();
    EXPECT_FALSE(cco.value(QStringLiteral("answering")).toBool(true));
    EXPECT_TRUE(cco.value(QStringLiteral("error")).toString().contains(QStringLiteral("TIMEOUT")));
    EXPECT_EQ(state.value(QStringLiteral("receivers")).toArray().size(), 1);
    EXPECT_EQ(state.value(QStringLiteral("matrices")).toArray().size(), 1);

    inst.cco->kill();
    timer.restart();
    state = reader.refresh(probeWaitMs);
    EXPECT_LT(timer.elapsed(), 2 * callTimeoutMs);
    cco = state.value(QStringLiteral("cco")).toObject();
    EXPECT_FALSE(cco.value(QStringLiteral("answering")).toBool(true));
    EXPECT_FALSE(cco.value(QStringLiteral("error")).toString().isEmpty());
    EXPECT_GT(cco.value(QStringLiteral("lastSeen")).toDouble(), 0);
    EXPECT_EQ(state.value(QStringLiteral("receivers")).toArray().size(), 1);
}

TEST(WebServer, ReadOnlyPageStateAndEvents)
{
    StatePublisher publisher;
    publisher.publish(R"({"n":1})");
    WebServer web(publisher, 1000);
    QString error;
    const int port = web.bind(QStringLiteral("127.0.0.1"), 0, &error);
    ASSERT_GT(port, 0) << error.toStdString();
    web.start();

    httplib::Client client("127.0.0.1", port);
    auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("/view.js"), std::string::npos);
    for (const char *path : {"/view.js", "/view.css"}) {
        auto file = client.Get(path);
        ASSERT_TRUE(file);
        EXPECT_EQ(file->status, 200);
        EXPECT_GT(file->body.size(), 100u) << path;
    }
    auto state = client.Get("/api/state");
    ASSERT_TRUE(state);
    EXPECT_EQ(state->body, R"({"n":1})");
    auto post = client.Post("/api/state", "{}", "application/json");
    ASSERT_TRUE(post);
    EXPECT_EQ(post->status, 405);
    auto foreign = client.Get("/", httplib::Headers {{"Host", "attacker.example:80"}});
    ASSERT_TRUE(foreign);
    EXPECT_EQ(foreign->status, 403);

    // The stream sends what is there, then each new state as it comes.
    std::mutex mutex;
    std::string received;
    std::thread reader([&] {
        httplib::Client streamClient("127.0.0.1", port);
        streamClient.Get("/events", [&](const char *data, size_t length) {
            std::lock_guard<std::mutex> lock(mutex);
            received.append(data, length);
            return received.find(R"(data: {"n":2})") == std::string::npos;
        });
    });
    const auto contains = [&](const char *text) {
        std::lock_guard<std::mutex> lock(mutex);
        return received.find(text) != std::string::npos;
    };
    EXPECT_TRUE(testsupport::waitUntil([&] { return contains(R"(data: {"n":1})"); }, 5000));
    publisher.publish(R"({"n":2})");
    EXPECT_TRUE(testsupport::waitUntil([&] { return contains(R"(data: {"n":2})"); }, 5000));
    reader.join();

    // Stopping with a stream still open must not wait for it.
    std::thread open([&] {
        httplib::Client streamClient("127.0.0.1", port);
        streamClient.Get("/events", [](const char *, size_t) { return true; });
    });
    EXPECT_TRUE(testsupport::waitUntil([&] { return publisher.latest().size() > 0; }));
    publisher.close();
    web.stop();
    open.join();
}

int main(int argc, char **argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    QString error;
    if (!initOrb(QStringLiteral("view_test"), {}, callTimeoutMs, callTimeoutMs, &error)) {
        std::fprintf(stderr, "%s\n", error.toLocal8Bit().constData());
        return 1;
    }
    const int result = RUN_ALL_TESTS();
    destroyOrb();
    return result;
}
