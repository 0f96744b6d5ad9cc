// installation-view's parts: reading our matrix-server's texts, its command
// line, judging a receiver against its matrix output, the history, one
// refresh against real servers and receiver hosts (also hung and stopped
// ones), and the HTTP side that the page talks to.
#include "history.h"
#include "installationreader.h"
#include "matching.h"
#include "matrixtext.h"
#include "refreshloop.h"
#include "statepublisher.h"
#include "vieworb.h"
#include "viewsettings.h"
#include "webserver.h"

#include "ccoclient.h"
#include "serverprocess.h"
#include "systemsupport.h"
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

// The value at `path` in a state: member names and array indices, separated
// by '/'. Undefined where a step is missing, as a lookup one step at a time.
QJsonValue at(QJsonValue value, const QString &path)
{
    for (const QString &step : path.split(QLatin1Char('/')))
        value = value.isArray() ? value.toArray().at(step.toInt()) : value.toObject().value(step);
    return value;
}

QString text(const QJsonValue &value, const QString &path)
{
    return at(value, path).toString();
}

QJsonObject findByName(const QJsonArray &array, const QString &name)
{
    for (const QJsonValue &v : array) {
        if (v.toObject().value("name").toString() == name)
            return v.toObject();
    }
    return {};
}
}

TEST(MatrixTexts, OurFormatBecomesAGrid)
{
    const auto grid = parseMatrixTexts("out 2 <- in 3; out 4 <- in 8",
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

    const auto empty = parseMatrixTexts(QString(), "inputs=2 outputs=1 connections=0", 2, 1);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->inputOfOutput, QVector<int> {0});
}

// A grid drawn from a text we only half understand would show switches that
// do not exist; these must stay text.
TEST(MatrixTexts, AnythingElseStaysText)
{
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
        {"", "inputs=8"},
        {"", "inputs=8 outputs=4 ranges.out2=3:1:x"},
        {"", "inputs=8 outputs=4 ranges.out9=3:1:2"},
        {"", "inputs=8 outputs=4 free text"},
        {"", "inputs=8 outputs=4 ranges.out2=99999999999999999999:1:2"},
    };
    for (const auto &c : cases)
        EXPECT_FALSE(parseMatrixTexts(QString::fromLatin1(c.connections), QString::fromLatin1(c.status), 8, 4))
            << c.connections << " | " << c.status;
    EXPECT_FALSE(parseMatrixTexts(QString(), "inputs=8 outputs=4", 0, 4));
}

TEST(Settings, DefaultsAndBadInput)
{
    const auto run = [](QStringList args) { return parseSettings(QStringList {"installation-view"} + args); };
    const auto good = [&](const QStringList &args) {
        const ParsedSettings parsed = run(args);
        EXPECT_EQ(parsed.outcome, ParsedSettings::Outcome::Run)
            << args.join(' ').toStdString() << ": " << parsed.text.toStdString();
        return parsed.settings;
    };
    const ViewSettings defaults = good({"--cco", "corbaloc::127.0.0.1:2809/CCO"});
    EXPECT_EQ(defaults.listenHost, "127.0.0.1");
    EXPECT_EQ(defaults.listenPort, 8080);
    EXPECT_EQ(defaults.refreshMs, 1000);
    EXPECT_EQ(defaults.historySize, 1000);

    const ViewSettings v6 = good({"--cco", "corbaloc::h:1/CCO", "--listen", "[::1]:0", "--", "-ORBtraceLevel", "1"});
    EXPECT_EQ(v6.listenHost, "::1");
    EXPECT_EQ(v6.orbArguments, (QStringList {"-ORBtraceLevel", "1"}));

    // Options with their value after "=", as every program of the project takes them.
    const ViewSettings joined = good({"--cco=corbaloc::h:1/CCO", "--listen=127.0.0.1:0", "--refresh=250",
        "--category=A/B", "--category", "C", "--history=5"});
    EXPECT_EQ(joined.listenPort, 0);
    EXPECT_EQ(joined.refreshMs, 250);
    EXPECT_EQ(joined.categories.mid(1), (QStringList {"A/B", "C"}));
    EXPECT_EQ(joined.historySize, 5);

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
        {"--cco", "corbaloc::h:1/CCO", "--history", "0"},
        {"--cco", "corbaloc::h:1/CCO", "--history", "100001"},
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
    good({"--cco", "corbaloc::h:1/CCO", "--listen", "0.0.0.0:8080", "--allow-remote"});
    // All of 127/8 is this machine.
    good({"--cco", "corbaloc::h:1/CCO", "--listen", "127.0.0.2:0"});
    const ParsedSettings help = run({"--help"});
    EXPECT_EQ(help.outcome, ParsedSettings::Outcome::Help);
    EXPECT_TRUE(help.text.contains("--listen <ADDRESS:PORT>")) << help.text.toStdString();
}

// The words and reasons an operator reads, for the ways a receiver can stand
// against its matrix output.
TEST(Matching, VerdictsAndReasons)
{
    ReceiverReading r;
    r.driverPath = QStringLiteral("/DEVICES/KRV4");
    r.usingAntennaMatrix = QStringLiteral("true");
    r.antenna = QStringLiteral("HF1");
    r.input = QStringLiteral("3");
    r.matrixOut = QStringLiteral("2");
    r.knownInputs = {{"HF1", 3}, {"HF2", 4}};
    // The receiver's output is the matrix's last.
    MatrixSide matrix {"AntennaMatrixManager1 on ws1", true, true, {0, 0}};
    const auto judge
        = [&](const MatrixSide *m = nullptr, bool tree = true) { return judgeReceiver(r, tree, m, "no manager"); };

    SyncVerdict v = judge(&matrix);
    EXPECT_EQ(v.state, "out of sync");
    EXPECT_EQ(v.reason, "output 2 shows nothing; HF1 is input 3");
    matrix.inputOfOutput = {0, 4};
    EXPECT_EQ(judge(&matrix).reason, "output 2 shows input 4 (HF2); HF1 is input 3");
    matrix.inputOfOutput = {0, 3};
    v = judge(&matrix);
    EXPECT_EQ(v.state, "in sync");
    EXPECT_EQ(v.reason, "output 2 shows input 3 (HF1)");

    // An antenna without a matrix input is in sync only with an empty output.
    r.antenna = QStringLiteral("DUMMYLOAD");
    r.input = QStringLiteral("0");
    EXPECT_EQ(judge(&matrix).reason, "output 2 shows input 3 (HF1); DUMMYLOAD has no matrix input");
    matrix.inputOfOutput = {0, 0};
    EXPECT_EQ(judge(&matrix).state, "in sync");
    r.antenna = QStringLiteral("HF1");
    r.input = QStringLiteral("3");

    EXPECT_EQ(judge(nullptr).state, "out of sync");
    EXPECT_EQ(judge(nullptr).reason, "no manager");
    matrix.answering = false;
    EXPECT_EQ(judge(&matrix).reason, "AntennaMatrixManager1 on ws1 does not answer");
    matrix.answering = true;
    r.matrixOut = QStringLiteral("9");
    EXPECT_EQ(judge(&matrix).reason, "output 9 is beyond the 2 outputs of AntennaMatrixManager1 on ws1");
    r.matrixOut.clear();
    EXPECT_EQ(judge(&matrix).reason, "no matrix output (ANTENNAS/MatrixOut is absent)");
    r.matrixOut = QStringLiteral("2");

    // Nothing to judge: no answer, no driver, not using the matrix, a foreign format.
    EXPECT_TRUE(judge(&matrix, false).state.isEmpty());
    matrix.gridKnown = false;
    EXPECT_TRUE(judge(&matrix).state.isEmpty());
    matrix.gridKnown = true;
    r.usingAntennaMatrix = QStringLiteral("false");
    EXPECT_TRUE(judge(&matrix).state.isEmpty());
    r.usingAntennaMatrix.clear();
    EXPECT_EQ(judge(&matrix).reason, "no antenna matrix driver");
}

TEST(Matching, MatrixOfAReceiversWorkstation)
{
    const std::vector<MatrixPlace> places {
        {"SubA", "ws1", 2}, {"SubA", "WS1", 1}, {"SubA", "ws2", 1}, {"SubB", "ws9", 1}};
    QString why;
    EXPECT_EQ(matrixForReceiver("ws1", "SubA", places, &why), 1); // lowest id
    EXPECT_EQ(matrixForReceiver("ws2.example.org", "SubA", places, &why), 2);
    // Registered by address: the only manager of its subsystem, if there is one.
    EXPECT_EQ(matrixForReceiver("127.0.0.1", "SubB", places, &why), 3);
    EXPECT_EQ(matrixForReceiver("127.0.0.1", "SubA", places, &why), -1);
    EXPECT_EQ(why, "none of the 3 matrix managers of SubA is on workstation 127.0.0.1");
    EXPECT_EQ(matrixForReceiver("ws1", "SubC", places, &why), -1);
    EXPECT_EQ(why, "no matrix manager is registered in SubC");
}

namespace
{
QJsonObject receiverState(
    const QString &name, const QString &answering, const QString &antenna, const QString &error, const QString &sync)
{
    QJsonObject tree;
    if (!answering.isEmpty())
        tree.insert("answering", answering == QLatin1String("yes"));
    return QJsonObject {{"name", name}, {"host", "127.0.0.1"}, {"port", 1}, {"tree", tree},
        {"driver",
            QJsonObject {{"path", "/D"}, {"antenna", antenna},
                {"lastDriverError", error.isEmpty() ? QJsonValue() : QJsonValue(error)}}},
        {"sync", QJsonObject {{"state", sync}, {"reason", "why"}}}};
}

QJsonObject matrixState(const QJsonArray &grid)
{
    return QJsonObject {{"name", "M1"}, {"label", "MM1"}, {"asked", true}, {"answering", true},
        {"grid", QJsonObject {{"inputOfOutput", grid}}},
        {"labels", QJsonObject {{"outputs", QJsonObject {{"2", "RXA"}}}, {"inputs", QJsonObject {{"3", "HF1"}}}}}};
}

QJsonObject installationState(qint64 now, bool cco, const QJsonArray &matrices, const QJsonArray &receivers)
{
    return QJsonObject {{"now", double(now)}, {"cco", QJsonObject {{"answering", cco}, {"location", "loc"}}},
        {"matrices", matrices}, {"receivers", receivers}};
}

QStringList kinds(const History &history)
{
    QStringList out;
    for (const HistoryEvent &e : history.events())
        out.prepend(e.kind);
    return out;
}
}

// A matrix restart seen from the receivers' and the matrix's side, told as
// the operator needs it: what went, what came back, what was lost.
TEST(History, EventsFromSuccessiveStates)
{
    History history(100);
    history.observe(installationState(1000, true, {matrixState({0, 3, 0, 0})},
        {receiverState("RXA", "yes", "HF1", "", "in sync"), receiverState("RXB", "", "", "", "")}));
    EXPECT_EQ(kinds(history), QStringList {"view started"}); // what was there is no news

    history.observe(installationState(
        2000, true, {}, {receiverState("RXA", "yes", "HF1", "", "in sync"), receiverState("RXB", "no", "", "", "")}));
    history.observe(installationState(3000, true, {matrixState({0, 0, 0, 0})},
        {receiverState("RXA", "yes", "HF2", "Antenna cannot be changed", "out of sync")}));
    history.observe(installationState(4000, false, {matrixState({0, 4, 0, 0})},
        {receiverState("RXA", "no", "HF1", "", ""), receiverState("RXC", "yes", "", "", "")}));
    history.observe(installationState(5000, true, {matrixState({0, 4, 0, 0})},
        {receiverState("RXA", "yes", "HF1", "", "in sync"), receiverState("RXC", "yes", "", "", "")}));
    EXPECT_EQ(kinds(history),
        (QStringList {"view started", "matrix not answering", "tree lost", "matrix back", "crosspoint released",
            "selection changed", "driver error set", "out of sync", "receiver unregistered", "cco not answering",
            "crosspoint connected", "tree lost", "receiver registered", "cco back", "tree back", "selection changed",
            "driver error cleared", "in sync"}));
    const QVector<HistoryEvent> forRxa = history.events("RXA");
    ASSERT_FALSE(forRxa.isEmpty());
    EXPECT_EQ(forRxa.first().kind, "in sync"); // newest first
    const auto released = std::find_if(forRxa.begin(), forRxa.end(),
        [](const HistoryEvent &e) { return e.kind == QLatin1String("crosspoint released"); });
    ASSERT_NE(released, forRxa.end());
    EXPECT_EQ(released->text, "MM1: input 3 (HF1) released from output 2 (RXA)");
    EXPECT_EQ(released->time, 3000);
    EXPECT_EQ(history.events(QString(), history.latest() - 2).size(), 2);
    // A manager gone from the CCO is news once, not at every refresh.
    history.observe(installationState(6000, true, {}, {}));
    history.observe(installationState(7000, true, {}, {}));
    EXPECT_EQ(kinds(history).filter(QStringLiteral("matrix not answering")).size(), 2);

    // Bounded: the oldest go first.
    History small(3);
    small.observe(installationState(1, true, {}, {}));
    for (int i = 0; i < 5; ++i)
        small.observe(installationState(2 + i, i % 2 == 0, {}, {}));
    EXPECT_EQ(small.events().size(), 3);
    EXPECT_EQ(small.latest(), 5u);
    EXPECT_EQ(small.events().last().id, 3u);
}

// Driver error texts come from remote trees: a CSV cell must stay a cell and
// never become a formula.
TEST(History, CsvQuotesAndDefusesCells)
{
    History history(10);
    history.observe(installationState(
        0, true, {}, {receiverState("RXA", "yes", "HF1", "", ""), receiverState("-RX", "yes", "HF1", "", "")}));
    history.observe(installationState(1000, true, {},
        {receiverState("RXA", "yes", "HF1", "=HYPERLINK(\"x\"), ok", ""), receiverState("@SUM", "", "", "", ""),
            receiverState("-RX", "yes", "HF1", "a\nb", ""), receiverState("R\nX", "", "", "", "")}));
    const QByteArray csv = history.toCsv("RXA");
    EXPECT_TRUE(
        csv.startsWith("id,time,kind,subject,receiver,text\r\n2,1970-01-01T00:00:01.000Z,driver error set,RXA,RXA,"))
        << csv.constData();
    EXPECT_TRUE(csv.contains(R"("RXA: driver error ""=HYPERLINK(""x""), ok""")")) << csv.constData();
    EXPECT_TRUE(history.toCsv("@SUM").contains(",receiver registered,'@SUM,'@SUM,"));
    EXPECT_TRUE(history.toCsv("-RX").contains(",'-RX,'-RX,\"'-RX: driver error \"\"a\nb\"\"\"\r\n"));
    EXPECT_TRUE(history.toCsv("R\nX").contains("\"R\nX registered at the CCO (127.0.0.1:1)\"\r\n"));
    EXPECT_EQ(History(1).toCsv(QString()), QByteArray("id,time,kind,subject,receiver,text\r\n"));
}

// A CCO with a matrix manager on ws1 (8 inputs, 4 outputs), and calls that
// reach them past the reader.
class Reader : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(cco->ready() && matrix->ready() && matrix->waitForLine("REGISTERED", 10000) >= 0);
    }

    CCO::IF_CCO_c_ptr ccoRef() const { return ccoclient::connectCco(*cco); }

    // Entries of the receivers' category.
    void registerValues(const QString &entry, const ccoclient::Strings &values) const
    {
        CCO::IF_CCO_c_var(ccoRef())->RegisterValues(
            qPrintable(category + '/' + entry), ccoclient::values(values), CCO::RT_Single);
    }

    void unregisterValues(const QString &entry) const
    {
        CCO::IF_CCO_c_var(ccoRef())->UnregisterValues(qPrintable(category + '/' + entry), CCO::RT_Single);
    }

    // A receiver workstation without the driver: its tree holds what a
    // driver's antenna side shows, and the test plays the driver.
    std::unique_ptr<ServerProcess> startReceiverHost(const QString &name, int output) const
    {
        const int port = testsupport::freeLoopbackPort();
        const QString ccoPort = QStringLiteral("127.0.0.1:%1").arg(cco->port());
        return systemtest::startVornHost(
            {"--no-plugin", "--cco", ccoPort, "--", "-ORBendPoint", QStringLiteral("giop:tcp:127.0.0.1:%1").arg(port)},
            {"mkvalue int /DEVICES/KRV4/ANTENNAS/HF1/ExternalNumber 3",
                "mkvalue int /DEVICES/KRV4/ANTENNAS/HF2/ExternalNumber 4",
                QStringLiteral("mkvalue int /DEVICES/KRV4/ANTENNAS/MatrixOut %1").arg(output),
                "mkvalue selection /DEVICES/KRV4/ANTENNA HF1,HF2", "select /DEVICES/KRV4/ANTENNA HF1",
                "mkvalue string /DEVICES/KRV4/LASTDRIVERERROR", "mkvalue bool /DEVICES/KRV4/USINGANTENNAMATRIX true",
                "mkvalue bool /DEVICES/KRV4/DRIVEROCCUPIED false",
                QStringLiteral("receiver %1 %2 127.0.0.1 127.0.0.1 /DEVICES/KRV4").arg(port).arg(name)});
    }

    MatrixManager::IF_MMR_c_ptr matrixManager() const
    {
        CORBA::Object_var m = CCO::IF_CCO_c_var(ccoRef())->Resolve(matrixName, CCO::RM_Default);
        return MatrixManager::IF_MMR_c::_narrow(m);
    }

    std::unique_ptr<ServerProcess> cco = testsupport::startCcoServer(
        {"--system", "ViewSystem", "--subsystem", "SubA", "--subsystems", "SubA", "--workstation", "ws1"});
    std::unique_ptr<ServerProcess> matrix = testsupport::startMatrixServer(cco->corbaloc(),
        {"--workstation", "ws1", "--id", "1", "--inputs", "8", "--outputs", "4", "--retry-interval", "100"});
};

// The installation as the CCO lists it. Reading the matrix manager's grid and
// following its switches: ReceiversTreesAgainstTheMatrix.
TEST_F(Reader, FollowsRegistrationsAndRemovals)
{
    const int deadPort = testsupport::freeLoopbackPort();
    registerValues("RX1", {"127.0.0.1", "127.0.0.1_RX1", "test", std::to_string(deadPort)});
    registerValues("ODD", {"only", "two"});

    InstallationReader reader(settingsFor(*cco));
    const QJsonObject state = reader.refresh(2 * callTimeoutMs);
    EXPECT_TRUE(at(state, "cco/answering").toBool());
    EXPECT_EQ(text(state, "cco/system"), "ViewSystem");

    const QJsonObject sub = findByName(at(state, "subsystems").toArray(), "SubA");
    const QJsonObject ws = findByName(at(sub, "workstations").toArray(), "ws1");
    EXPECT_TRUE(at(ws, "entries").toArray().contains("AntennaMatrixManager1"));
    EXPECT_EQ(at(findByName(at(sub, "categories/0/objects").toArray(), "ODD"), "values").toArray().size(), 2);

    // Only entries that name a host and a port are receivers; this one's tree is nowhere.
    ASSERT_EQ(at(state, "receivers").toArray().size(), 1);
    EXPECT_EQ(at(state, "receivers/0/port").toInt(), deadPort);
    EXPECT_TRUE(testsupport::waitUntil(
        [&] {
            const QJsonValue rx = at(reader.refresh(2 * callTimeoutMs), "receivers/0");
            return !at(rx, "tree/answering").toBool(true) && at(rx, "attention").toArray().size() == 1;
        },
        4 * callTimeoutMs, 20));

    unregisterValues("RX1");
    EXPECT_TRUE(at(reader.refresh(2 * callTimeoutMs), "receivers").toArray().isEmpty());
}

// Nothing that hangs may hold a refresh longer than the call timeout, and
// what was seen last stays, marked, rather than a blank.
TEST_F(Reader, HungAndStoppedServers)
{
    registerValues("RX1", {"127.0.0.1", "d", "i", "1"});
    InstallationReader reader(settingsFor(*cco));
    ASSERT_TRUE(at(reader.refresh(2 * callTimeoutMs), "cco/answering").toBool());

    // A hung matrix manager costs a refresh no more than the wait it is given.
    ASSERT_TRUE(matrix->command("fault hang *"));
    const int probeWaitMs = 100;
    QElapsedTimer timer;
    timer.start();
    EXPECT_TRUE(at(reader.refresh(probeWaitMs), "cco/answering").toBool());
    EXPECT_LT(timer.elapsed(), callTimeoutMs);
    EXPECT_TRUE(testsupport::waitUntil(
        [&] {
            const QJsonValue m = at(reader.refresh(probeWaitMs), "matrices/0");
            return !at(m, "answering").toBool(true) && text(m, "error").contains("TIMEOUT")
                && at(m, "inputs").toInt() == 8;
        },
        4 * callTimeoutMs, 50));
    ASSERT_TRUE(matrix->command("fault clear"));

    // A hung CCO, then a stopped one.
    const auto ccoFails = [&](const char *how, const char *error) {
        timer.restart();
        const QJsonObject state = reader.refresh(probeWaitMs);
        EXPECT_LT(timer.elapsed(), 2 * callTimeoutMs) << how;
        EXPECT_FALSE(at(state, "cco/answering").toBool(true)) << how;
        EXPECT_TRUE(text(state, "cco/error").contains(error)) << how << ": " << qPrintable(text(state, "cco/error"));
        EXPECT_GT(at(state, "cco/lastSeen").toDouble(), 0) << how;
        EXPECT_EQ(at(state, "receivers").toArray().size(), 1) << how;
        EXPECT_EQ(at(state, "matrices").toArray().size(), 1) << how;
    };
    ASSERT_TRUE(cco->command("fault hang *"));
    ccoFails("hung", "TIMEOUT");
    cco->kill();
    ccoFails("stopped", "TRANSIENT");
}

// Each receiver's own tree, read through the value-tree clients, held
// against the matrix: names, the words "in sync" and "out of sync", changes
// as they come, absent values as absent, and a hung receiver that holds up
// neither the refresh nor the other receiver.
TEST_F(Reader, ReceiversTreesAgainstTheMatrix)
{
    auto rxa = startReceiverHost("RXA", 2);
    auto rxb = startReceiverHost("RXB", 3);
    ASSERT_TRUE(rxa && rxb);
    ViewSettings settings = settingsFor(*cco);
    settings.refreshMs = 200;
    InstallationReader reader(settings);

    // The receiver as the last refresh showed it.
    QJsonObject last;
    const auto until = [&](const QString &name, const std::function<bool(const QJsonObject &)> &good, int ms = 8000) {
        return testsupport::waitUntil(
            [&] {
                last = findByName(at(reader.refresh(50), "receivers").toArray(), name);
                return good(last);
            },
            ms, 20);
    };

    // Nobody switched yet: a mismatch is taken for a switch under way, and once it lasted, out of sync.
    bool settling = false;
    ASSERT_TRUE(until("RXA", [&](const QJsonObject &r) {
        settling = settling || text(r, "sync/state") == "settling";
        return text(r, "sync/state") == "out of sync";
    })) << qPrintable(QJsonDocument(last).toJson());
    EXPECT_TRUE(settling);
    EXPECT_EQ(text(last, "sync/reason"), "output 2 shows nothing; HF1 is input 3");
    EXPECT_EQ(text(last, "driver/antenna"), "HF1");
    EXPECT_EQ(at(last, "driver/input").toInt(), 3);
    EXPECT_EQ(at(last, "driver/output").toInt(), 2);
    EXPECT_FALSE(at(last, "driver/driverOccupied").toBool(true));
    EXPECT_TRUE(at(last, "driver/matrixState").isNull()); // absent, not an error
    EXPECT_TRUE(at(last, "driver/lastDriverError").isNull());
    EXPECT_TRUE(text(last, "attention/0").startsWith("out of sync"));

    const MatrixManager::IF_MMR_c_var mmr = matrixManager();
    mmr->connect(3, 2);
    mmr->connect(4, 3);
    ASSERT_TRUE(until("RXA", [&](const QJsonObject &r) { return text(r, "sync/state") == "in sync"; }));
    EXPECT_TRUE(at(last, "attention").toArray().isEmpty());

    // A selection, a driver error and a matrix state reach the view as the
    // tree changes, without a new client.
    rxb->command("select /DEVICES/KRV4/ANTENNA HF2", 0);
    rxa->command("set /DEVICES/KRV4/LASTDRIVERERROR Antenna cannot be changed", 0);
    rxa->command("mkvalue string /DEVICES/KRV4/MATRIXSTATE healing", 0);
    ASSERT_TRUE(until("RXB", [&](const QJsonObject &r) {
        return text(r, "sync/state") == "in sync" && text(r, "driver/antenna") == "HF2";
    })) << qPrintable(QJsonDocument(last).toJson());
    ASSERT_TRUE(until("RXA", [&](const QJsonObject &r) {
        return text(r, "driver/lastDriverError") == "Antenna cannot be changed"
            && text(r, "driver/matrixState") == "healing";
    })) << qPrintable(QJsonDocument(last).toJson());
    const QJsonObject state = reader.refresh(50);
    EXPECT_EQ(text(state, "matrices/0/labels/outputs/2"), "RXA");
    EXPECT_EQ(text(state, "matrices/0/labels/inputs/4"), "HF2");
    // A driver error puts the receiver first.
    EXPECT_EQ(text(state, "receivers/0/name"), "RXA");

    // A hung receiver: refreshes stay short, the other one goes on changing.
    rxa->suspend();
    rxb->command("select /DEVICES/KRV4/ANTENNA HF1", 0);
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(until(
        "RXB", [&](const QJsonObject &r) { return text(r, "driver/antenna") == "HF1"; }, 3000));
    EXPECT_LT(timer.elapsed(), 2500);
    ASSERT_TRUE(until("RXA", [&](const QJsonObject &r) { return !at(r, "tree/answering").toBool(true); }));
    timer.restart();
    reader.refresh(50);
    EXPECT_LT(timer.elapsed(), callTimeoutMs);
    EXPECT_TRUE(text(last, "sync/state").isEmpty()); // nothing to judge without the tree
    rxa->resume();
    ASSERT_TRUE(until("RXA", [&](const QJsonObject &r) { return at(r, "tree/answering").toBool(); }));

    // Registered again on another port, a receiver is read there: RXB's entry now names RXA's tree.
    unregisterValues("RXB");
    registerValues("RXB", {"127.0.0.1", "127.0.0.1_RXB", "test", std::to_string(at(last, "port").toInt())});
    EXPECT_TRUE(until("RXB", [&](const QJsonObject &r) { return at(r, "driver/output").toInt() == 2; }));
}

TEST(WebServer, ReadOnlyPageStateAndEvents)
{
    StatePublisher publisher;
    publisher.publish(R"({"n":1})");
    History history(10);
    history.observe(installationState(1000, true, {}, {}));
    history.observe(installationState(2000, true, {}, {receiverState("RXA", "", "", "", "")}));
    WebServer web(publisher, history, 1000);
    QString error;
    const int port = web.bind("127.0.0.1", 0, &error);
    ASSERT_GT(port, 0) << error.toStdString();
    web.start();

    httplib::Client client("127.0.0.1", port);
    // The page and its files: view.Browser loads them, and a missing one is an error in the browser's log.
    auto state = client.Get("/api/state");
    ASSERT_TRUE(state);
    EXPECT_EQ(state->body, R"({"n":1})");
    const auto events = [&](const char *path) {
        auto history = client.Get(path);
        return history ? at(QJsonDocument::fromJson(QByteArray::fromStdString(history->body)).object(), "events")
                       : QJsonValue();
    };
    EXPECT_EQ(events("/api/history?since=0").toArray().size(), 2);
    EXPECT_EQ(events("/api/history?receiver=RXA").toArray().size(), 1);
    EXPECT_EQ(text(events("/api/history?receiver=RXA"), "0/receiver"), "RXA");
    auto csv = client.Get("/api/history.csv");
    ASSERT_TRUE(csv);
    EXPECT_EQ(csv->get_header_value("Content-Type"), "text/csv; charset=utf-8");
    EXPECT_EQ(csv->body.rfind("id,time,kind,subject,receiver,text\r\n2,", 0), 0u) << csv->body;
    auto post = client.Post("/api/state", "{}", "application/json");
    ASSERT_TRUE(post);
    EXPECT_EQ(post->status, 405);
    for (const char *host : {"attacker.example:80", "localhost.attacker.example"}) {
        auto foreign = client.Get("/", httplib::Headers {{"Host", host}});
        ASSERT_TRUE(foreign);
        EXPECT_EQ(foreign->status, 403) << host;
    }

    // The stream sends what is there, then each new state as it comes; and
    // stopping with the stream still open must not wait for it.
    std::mutex mutex;
    std::string received;
    std::thread reader([&] {
        httplib::Client streamClient("127.0.0.1", port);
        streamClient.Get("/events", [&](const char *data, size_t length) {
            std::lock_guard<std::mutex> lock(mutex);
            received.append(data, length);
            return true;
        });
    });
    const auto contains = [&](const char *text) {
        std::lock_guard<std::mutex> lock(mutex);
        return received.find(text) != std::string::npos;
    };
    EXPECT_TRUE(testsupport::waitUntil([&] { return contains(R"(data: {"n":1})"); }, 5000));
    publisher.publish(R"({"n":2})");
    EXPECT_TRUE(testsupport::waitUntil([&] { return contains(R"(data: {"n":2})"); }, 5000));
    publisher.close();
    web.stop();
    reader.join();
}

// The refresh loop is the only thread of the view that waits on the CCO; a
// hung CCO must neither stop it publishing nor keep the view from stopping.
TEST(RefreshLoop, PublishesWhileTheCcoHangsAndStopsWithinACall)
{
    auto cco = testsupport::startCcoServer({"--fault", "hang *"});
    ASSERT_TRUE(cco->ready());
    InstallationReader reader(settingsFor(*cco));
    StatePublisher publisher;
    History history(10);
    // A period far beyond the test's own bounds: only stop() can end the wait after the first refresh.
    RefreshLoop loop(reader, publisher, history, 20 * callTimeoutMs);
    loop.start();
    ASSERT_TRUE(testsupport::waitUntil([&] { return !publisher.latest().isEmpty(); }, 4 * callTimeoutMs));
    EXPECT_FALSE(at(QJsonDocument::fromJson(publisher.latest()).object(), "cco/answering").toBool(true));
    QElapsedTimer timer;
    timer.start();
    loop.stop();
    EXPECT_LT(timer.elapsed(), callTimeoutMs);
}

int main(int argc, char **argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    QString error;
    if (!initOrb("view_test", {}, callTimeoutMs, callTimeoutMs, &error)) {
        std::fprintf(stderr, "%s\n", error.toLocal8Bit().constData());
        return 1;
    }
    const int result = RUN_ALL_TESTS();
    destroyOrb();
    return result;
}
