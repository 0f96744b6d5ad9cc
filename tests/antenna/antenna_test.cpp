// AntennaComm, the driver's antenna side and vorn-host's antenna demo against real cco-server and
// matrix-server processes. One cco-server for the program; each test has its own matrix id and device.
#include "antennacomm.h"
#include "antennaselfhealing.h"
#include "cfgcenter.h"
#include "cfgcenterhost.h"
#include "externalccodriver.h"
#include "icfg.h"
#include "node.h"
#include "observerqueries.h"
#include "orbhandler.h"
#include "orbhandlerhost.h"
#include "receivertree.h"
#include "serverprocess.h"
#include "tracerecorder.h"
#include "tree.h"
#include "treehost.h"
#include "value.h"
#include "valueselection.h"
#include "vornos.h"
#include "vornoshost.h"
#include "waituntil.h"
#include "zrexception.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

using receivers::antenna::driver::AntennaRangeDefinition;
using testsupport::waitUntil;
using namespace receivertree;

namespace
{
std::unique_ptr<testsupport::ServerProcess> ccoServer;

class AntennaEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        ccoServer = testsupport::startCcoServer();
        ASSERT_TRUE(ccoServer->ready()) << ccoServer->errorText().toStdString();
        auto &orb = CorbaCommon::OrbHandler::Instance();
        // A short call timeout keeps the tests of dead servers short.
        ASSERT_TRUE(CorbaCommon::OrbHandlerHost::Init(
            {"-ORBInitRef", "CCO=" + ccoServer->corbaloc(), "-ORBclientCallTimeOutPeriod", "1500"}));
        ASSERT_TRUE(orb.ConnectToCCO(2, 500));
        values::TreeHost::Create();
        VornOSHost::SetComputerNameOverride(L"WS7");
    }
    void TearDown() override
    {
        values::TreeHost::Destroy();
        ccoServer.reset();
    }
};
const auto *const environment = ::testing::AddGlobalTestEnvironment(new AntennaEnvironment);

class MapCfg : public ICfg
{
public:
    QMap<QString, QString> entries;
    QString ReadString(QString key, QString def, bool) override { return entries.value(key, def); }
    int ReadInt(QString key, int def, bool) override { return entries.contains(key) ? entries[key].toInt() : def; }
    bool ReadBool(QString key, bool def, bool) override { return entries.contains(key) ? entries[key] == "true" : def; }
};

QString text(const QString &path)
{
    values::ValueBase *value = values::Tree::Instance()->FindValue(path);
    return value ? value->GetStringValue() : QStringLiteral("<absent>");
}

// A matrix-server registered at the CCO under a workstation and matrix id.
class Matrix
{
public:
    explicit Matrix(int id, QStringList args = {}, QString host = "WS7")
    {
        server = testsupport::startMatrixServer(
            ccoServer->corbaloc(), QStringList {"--workstation", host, "--id", QString::number(id)} + args);
        EXPECT_TRUE(server->ready()) << server->errorText().toStdString();
        EXPECT_GE(server->waitForLine("REGISTERED", 5000), 0);
        CORBA::Object_var object
            = CorbaCommon::OrbHandlerHost::Orb()->string_to_object(server->corbaloc().toLatin1().constData());
        reference = MatrixManager::IF_MMR_c::_narrow(object);
    }
    // "out 3 <- in 2", or "" when nothing is connected. A call that fails
    // (a loaded machine can let the first one time out) reads as its name, so
    // that waiting for a state asks again.
    QString connections()
    {
        try {
            return QString::fromLatin1(CORBA::String_var(reference->connectionData()).in());
        } catch (const CORBA::SystemException &e) {
            return QStringLiteral("<%1>").arg(QLatin1String(e._name()));
        }
    }
    // A "key=value" token of statusData, e.g. "ranges.out3".
    QString status(const QString &key)
    {
        const QString data = QString::fromLatin1(CORBA::String_var(reference->statusData()).in());
        return QRegularExpression("(^| )" + QRegularExpression::escape(key) + "=(\\S*)").match(data).captured(2);
    }
    int calls(const QString &operation) { return status("calls." + operation).toInt(); }
    bool served(const QString &line) { return server->waitForLine(line, 2000) >= 0; }
    bool waitFor(const QString &want)
    {
        return waitUntil([&] { return connections() == want; }, 3000, 20);
    }

    std::unique_ptr<testsupport::ServerProcess> server;
    MatrixManager::IF_MMR_c_var reference;
};

class AntennaCommTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        static int lastId = 0;
        id = ++lastId;
        device = QStringLiteral("/DEVICES/RX%1").arg(id);
        // The first receiver of a run finds matrix manager 1 through the key's default.
        if (id != 1)
            cfg.entries["MatrixID"] = QString::number(id);
    }
    void TearDown() override
    {
        healer.reset();
        comm.reset();
        CfgCenterHost::SetConfigLocation(QString());
        values::TreeHost::RemoveNode(device);
    }
    QString at(const QString &relative) const { return device + '/' + relative; }

    // The driver instance "Drv<id>" for this receiver with the antenna side on and `keys` besides.
    std::unique_ptr<ExternalCCODriver> startDriver(const QString &keys)
    {
        QFile ini(configDir.filePath("vorn.ini"));
        EXPECT_TRUE(ini.open(QIODevice::WriteOnly | QIODevice::Text));
        const QString group = QStringLiteral("[Drv%1]\nAntennaMatrixDriver=true\nValuePath=%2\nMatrixID=%1\n");
        ini.write((group.arg(id).arg(device) + keys).toUtf8());
        ini.close();
        CfgCenterHost::SetConfigLocation(ini.fileName());
        auto driver = std::make_unique<ExternalCCODriver>(QStringLiteral("Drv%1").arg(id));
        driver->Init();
        return driver;
    }

    // Antennas A (input 2), B (input 5) and Z (no input) on output 3.
    void startConnected(QStringList matrixArgs = {})
    {
        buildReceiver(device, {{"A", 2}, {"B", 5}, {"Z", 0}}, "RUNNING", 3);
        matrix = std::make_unique<Matrix>(id, matrixArgs);
        comm = std::make_unique<AntennaComm>();
        attach();
        ASSERT_TRUE(comm->init(device, &cfg));
    }
    // What the driver would put beside AntennaComm.
    virtual void attach() {}
    bool runPending() const { return !QAbstractEventDispatcher::instance()->registeredTimers(comm.get()).isEmpty(); }
    // The run kills its timer first and makes all its calls before the event loop gets control back.
    void switchTo(const QString &antenna)
    {
        select(at("ANTENNA"), antenna);
        ASSERT_TRUE(runPending()) << "no switching run scheduled";
        ASSERT_TRUE(waitUntil([&] { return !runPending(); }));
    }

    int id = 0;
    QString device;
    MapCfg cfg;
    QTemporaryDir configDir;
    testsupport::TraceRecorder trace;
    std::unique_ptr<Matrix> matrix;
    std::unique_ptr<AntennaComm> comm;
    std::unique_ptr<AntennaSelfHealing> healer;
};

TEST_F(AntennaCommTest, SwitchesDisconnectingTheOldInputFirst)
{
    startConnected();
    switchTo("A");
    EXPECT_TRUE(matrix->waitFor("out 3 <- in 2"));
    EXPECT_EQ(trace.count("Call Connect Antenna with slots: 2 in 3 out"), 1);
    switchTo("B");
    EXPECT_TRUE(matrix->waitFor("out 3 <- in 5"));
    EXPECT_TRUE(matrix->served("CALL disconnect 2 3 -> ok"));

    // A command runs the switch again (once, however many come while it is
    // pending); the antenna is connected already, so the matrix sees nothing.
    values::ValueBase *command = values::Tree::Instance()->FindValue(at("USINGANTENNAMATRIX"));
    command->ReceiveCommand(nullptr);
    command->ReceiveCommand(nullptr);
    EXPECT_EQ(trace.count("Connect Thread Started!"), 1);
    ASSERT_TRUE(waitUntil([&] { return !runPending(); }));
    EXPECT_EQ(trace.count("Call Connect Antenna found"), 3);
    EXPECT_EQ(matrix->calls("connect"), 2);
    EXPECT_EQ(matrix->calls("disconnect"), 1);

    // No input: disconnected, nothing connected; the next antenna then needs
    // no disconnect.
    switchTo("Z");
    EXPECT_TRUE(matrix->waitFor(""));
    switchTo("A");
    EXPECT_TRUE(matrix->waitFor("out 3 <- in 2"));
    EXPECT_EQ(matrix->calls("connect"), 3);
    EXPECT_EQ(matrix->calls("disconnect"), 2);
    EXPECT_TRUE(text(at("LASTDRIVERERROR")).isEmpty());
}

TEST_F(AntennaCommTest, FailedDisconnectStillConnectsAndFailedConnectKeepsTheOldInput)
{
    startConnected();
    switchTo("A");
    ASSERT_TRUE(matrix->waitFor("out 3 <- in 2"));
    matrix->reference->disconnect(2, 3); // someone else clears the output
    switchTo("B");
    EXPECT_TRUE(matrix->waitFor("out 3 <- in 5"));
    EXPECT_EQ(
        trace.count("AntennaComm::OnAntennaChanged:Exception - MatrixManager::IF_MMR_c::NotConnectedException"), 1);

    ASSERT_TRUE(matrix->server->command("fault raise connect ConnectionFailureException relay stuck"));
    switchTo("A");
    EXPECT_TRUE(matrix->waitFor(""));
    EXPECT_EQ(trace.count("AntennaComm::OnAntennaChanged:Exception - "
                          "MatrixManager::IF_MMR_c::ConnectionFailureException"),
        1);
    EXPECT_TRUE(text(at("LASTDRIVERERROR")).isEmpty()) << "a declared exception is traced only";

    // Input 5 still counts as connected: B again does nothing, and A
    // disconnects 5 first.
    ASSERT_TRUE(matrix->server->command("fault clear"));
    const int connects = matrix->calls("connect");
    switchTo("B");
    EXPECT_EQ(matrix->calls("connect"), connects);
    switchTo("A");
    EXPECT_TRUE(matrix->served("CALL disconnect 5 3 -> NotConnectedException"));
    EXPECT_TRUE(matrix->waitFor("out 3 <- in 2"));
}

TEST_F(AntennaCommTest, ChangesWithinTheDebounceMakeOneRun)
{
    startConnected();
    select(at("ANTENNA"), "A");
    // 10 ms without the event loop: only a timer that was not restarted
    // could run for the first change.
    QElapsedTimer gap;
    gap.start();
    while (gap.elapsed() < 10) { }
    select(at("ANTENNA"), "B");
    const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(comm.get());
    ASSERT_EQ(timers.size(), 1);
    EXPECT_EQ(timers.first().interval, 20);

    ASSERT_TRUE(matrix->waitFor("out 3 <- in 5"));
    EXPECT_FALSE(waitUntil([&] { return trace.count("Call Connect Antenna found") > 1; }, 100));
    EXPECT_EQ(matrix->calls("connect"), 1);
}

// Once the own values are set up the start-up counts as done, even when the
// antenna table then throws: a second init neither sets them up again nor
// observes them twice.
TEST_F(AntennaCommTest, StartUpIsNotRepeatedWhenTheAntennaTableThrows)
{
    if (auto *antenna = addValue<values::ValueSelection>(device, "ANTENNA"))
        antenna->SetItems({"A"}, nullptr);
    if (auto *hardware = addValue<values::ValueSelection>(device, "HARDWARESTATUS")) {
        hardware->SetItems({"STOPPED", "RUNNING"}, nullptr);
        hardware->SetSelectedItem("STOPPED", nullptr);
    }
    addValue<values::Value<QString>>(device, "ANTENNAS"); // a value where the node of MatrixOut belongs
    comm = std::make_unique<AntennaComm>();
    EXPECT_THROW(comm->init(device, &cfg), ZRException);
    EXPECT_EQ(text(at("USINGANTENNAMATRIX")), "true");
    EXPECT_EQ(text(at("DRIVEROCCUPIED")), "false");

    values::Tree::Instance()->FindValue(at("DRIVEROCCUPIED"))->SetStringValue("true", nullptr);
    const int tableReads = trace.count("Antenna Names: finish");
    bool started = false;
    EXPECT_NO_THROW(started = comm->init(device, &cfg));
    EXPECT_TRUE(started) << "stopped hardware: nothing to look up";
    EXPECT_EQ(text(at("DRIVEROCCUPIED")), "true") << "the own values were set up again";
    EXPECT_EQ(trace.count("Antenna Names: finish"), tableReads);
    select(at("ANTENNA"), "A");
    EXPECT_FALSE(runPending()) << "not looked up, so nothing to switch";
}

// A range for an antenna without ExternalNumber enters it with port 0, and it
// stays so until ANTENNAS changes: a change of the selection reads nothing
// again, not even after the host released MatrixOut.
TEST_F(AntennaCommTest, RangeEntryOfPortZeroStaysUntilTheTableIsReadAgain)
{
    startConnected();
    dynamic_cast<values::ValueSelection *>(values::Tree::Instance()->FindValue(at("ANTENNA")))
        ->SetItems({"A", "B", "Z", "Q"}, nullptr);
    switchTo("A");
    ASSERT_TRUE(matrix->waitFor("out 3 <- in 2"));
    std::vector<AntennaRangeDefinition> ranges {{"Q", 1, 2}};
    comm->SetRangesToAntennaMatrix(ranges);

    const int tableReads = trace.count("Antenna Names: finish");
    values::Tree::Instance()->FindValue(at("ANTENNAS/MatrixOut"))->SetState(values::ValueBase::StateReleased, nullptr);
    switchTo("Q");
    EXPECT_EQ(matrix->connections(), "") << "Q has input 0: A is released and nothing connected";
    EXPECT_EQ(trace.count("Antenna Names: finish"), tableReads);
}

TEST_F(AntennaCommTest, MatrixManagerThatGoesAwayIsReportedAndFoundAgain)
{
    startConnected();
    switchTo("A");
    ASSERT_TRUE(matrix->waitFor("out 3 <- in 2"));

    // The CCO hands out itself under the matrix manager's name.
    CCO::IF_CCO_c_var cco = CorbaCommon::OrbHandler::Instance().GetCCO();
    const QByteArray name
        = "CCO/LocalSystem/LocalSubSystem/Workstations/WS7/AntennaMatrixManager" + QByteArray::number(id) + "/IF_MMR_c";
    matrix->server->stop();
    cco->Register(name.constData(), cco, CCO::RT_Single);
    switchTo("Z");
    EXPECT_EQ(text(at("LASTDRIVERERROR")), "Antenna cannot be changed, MatrixManager not available!");
    comm->DisconnectAntenna(); // on the nil reference: traced, not thrown
    EXPECT_EQ(trace.count("Caught Expection in AntennaComm disconnect, OnAntennaChanged"), 1);
    CORBA::Object_var old = cco->Unregister(name.constData(), CCO::RT_Single);

    // Looked up on every run: a new server is used at once. It knows nothing
    // of input 2; the disconnect fails and the connect goes through.
    matrix = std::make_unique<Matrix>(id);
    switchTo("B");
    EXPECT_TRUE(matrix->waitFor("out 3 <- in 5"));
    EXPECT_TRUE(matrix->served("CALL disconnect 2 3 -> NotConnectedException"));

    matrix->server->stop();
    switchTo("A");
    EXPECT_EQ(text(at("LASTDRIVERERROR")), "Antenna cannot be changed, CommController not responding!");
    // Not connected any more: a change only looks the manager up, the next
    // one switches.
    matrix = std::make_unique<Matrix>(id);
    select(at("ANTENNA"), "B");
    EXPECT_FALSE(runPending());
    switchTo("A");
    EXPECT_TRUE(matrix->waitFor("out 3 <- in 2"));

    // Killed: the registration stays and leads nowhere.
    matrix->server->kill();
    switchTo("B");
    EXPECT_EQ(text(at("LASTDRIVERERROR")), "Antenna cannot be changed, Exception in call of MMR caught!");
}

TEST_F(AntennaCommTest, RangesGoToTheReceiversOutputAndFailuresAreTracedWithTheirReason)
{
    startConnected();
    addAntennaNode(device, "SPARE", 9); // a node, but not offered by ANTENNA
    std::vector<AntennaRangeDefinition> ranges {{"B", 100, 200}, {"UNKNOWN", -5, 5}, {"SPARE", 1, 2}};
    comm->SetRangesToAntennaMatrix(ranges);
    EXPECT_TRUE(matrix->served("CALL setRanges 3 5:100:200 0:-5:5 0:1:2"));
    std::vector<AntennaRangeDefinition> good {{"A", 1, 2}, {"B", 3, 4}};
    comm->SetRangesToAntennaMatrix(good);
    EXPECT_EQ(trace.count("AntennaComm: setting ranges successful"), 1);
    EXPECT_EQ(matrix->status("ranges.out3"), "2:1:2,5:3:4");

    // The old reference is dead after a restart; the new server is asked.
    matrix->server->stop();
    matrix = std::make_unique<Matrix>(id, QStringList {"--no-ranges"});
    comm->SetRangesToAntennaMatrix(good);
    EXPECT_EQ(trace.count("AntennaComm: Ranges are not supported, because this matrix does not support ranges"), 1);
    ASSERT_TRUE(matrix->server->command("fault raise setRanges UnknownPortException output 3 is wired nowhere"));
    comm->SetRangesToAntennaMatrix(good);
    EXPECT_EQ(trace.count("AntennaComm: Port is unknown, because output 3 is wired nowhere"), 1);
}

TEST_F(AntennaCommTest, DriverRetriesTheStartUpUntilTheReceiverIsThereAndLeavesTheMatrixConnected)
{
    matrix = std::make_unique<Matrix>(id);
    auto driver = startDriver("ReconnectTimer=30\n");
    auto retrying = [&] { return !QAbstractEventDispatcher::instance()->registeredTimers(driver.get()).isEmpty(); };
    EXPECT_FALSE(waitUntil([&] { return !retrying(); }, 150)) << "no receiver values yet";

    // A value where the ANTENNAS node belongs makes the tree throw: a failed
    // attempt, not an exception in the host's event loop. The own values
    // are in place by then, so the next attempt only looks the matrix up.
    buildReceiver(device, {{"A", 2}, {"B", 5}}, "RUNNING", 4);
    values::Tree *tree = values::Tree::Instance();
    values::TreeHost::RemoveNode(at("ANTENNAS"));
    addValue<values::Value<QString>>(device, "ANTENNAS");
    ASSERT_TRUE(waitUntil([&] { return !retrying(); }, 2000));
    EXPECT_EQ(trace.count("ExternalCCODriver: antenna start-up failed"), 1);
    driver.reset();

    tree->RemoveValue(at("ANTENNAS"));
    addAntennaNode(device, "A", 2);
    addAntennaNode(device, "B", 5);
    addValue<values::Value<int>>(at("ANTENNAS"), "MatrixOut");
    driver = startDriver("ReconnectTimer=30\n");
    ASSERT_TRUE(waitUntil([&] { return !retrying(); }, 2000));
    tree->FindValue(at("ANTENNAS/MatrixOut"))->SetStringValue("4", nullptr);
    select(at("ANTENNA"), "B");
    EXPECT_TRUE(matrix->waitFor("out 4 <- in 5"));
    std::vector<AntennaRangeDefinition> ranges {{"A", 7, 8}};
    driver->SetRangesToAntennaMatrix(ranges);
    EXPECT_EQ(matrix->status("ranges.out4"), "2:7:8");
    driver->CommitData();
    EXPECT_EQ(matrix->connections(), "");

    select(at("ANTENNA"), "A");
    ASSERT_TRUE(matrix->waitFor("out 4 <- in 2"));
    driver.reset();
    EXPECT_EQ(text(at("USINGANTENNAMATRIX")), "<absent>");
    EXPECT_EQ(text(at("DRIVEROCCUPIED")), "<absent>");
    for (const char *observed : {"ANTENNA", "HARDWARESTATUS", "ANTENNAS/MatrixOut"})
        EXPECT_EQ(ObserverQueries::ObserverCount(*tree->FindValue(at(observed))), 0) << observed;
    EXPECT_EQ(ObserverQueries::ObserverCount(*tree->FindNode(at("ANTENNAS"))), 0);
    EXPECT_EQ(matrix->connections(), "out 4 <- in 2");
}
}

// The same faults with "AntennaSelfHealing" off (the stated behaviour, which
// leaves the matrix wrong until the user acts) and on (the matrix follows the
// selection by itself, on its ticks). The companion that the driver would
// create ticks on a timer of its own; here the test ticks it.
class SelfHealing : public AntennaCommTest, public ::testing::WithParamInterface<bool>
{
protected:
    void SetUp() override
    {
        AntennaCommTest::SetUp();
        healing = GetParam();
        cfg.entries["AntennaSelfHealing"] = healing ? "true" : "false";
    }
    // The driver's ticks are left out: the test ticks itself.
    void attach() override
    {
        if (healing)
            healer = std::make_unique<AntennaSelfHealing>(*comm, 0);
    }
    void tick()
    {
        if (healer)
            healer->tick();
    }
    QString expected(const QString &on, const QString &off) const { return healing ? on : off; }
    bool healing = false;
};

TEST_P(SelfHealing, RestartFailedAndLateConnects)
{
    startConnected();
    switchTo("A");
    ASSERT_TRUE(matrix->waitFor("out 3 <- in 2"));

    // A restarted matrix manager knows nothing of the old connection.
    matrix->server->stop();
    matrix = std::make_unique<Matrix>(id);
    tick();
    EXPECT_EQ(matrix->connections(), expected("out 3 <- in 2", ""));

    // A refused connect is asked again on every tick until it goes through.
    ASSERT_TRUE(matrix->server->command("fault raise connect ConnectionFailureException relay stuck"));
    switchTo("B");
    tick();
    EXPECT_EQ(matrix->connections(), "");
    if (healing) {
        EXPECT_EQ(text(at("MATRIXSTATE")), "connect of input 5 to output 3 failed: connection failure");
    }
    ASSERT_TRUE(matrix->server->command("fault clear"));
    tick();
    EXPECT_EQ(matrix->connections(), expected("out 3 <- in 5", ""));
    if (!healing) {
        // Input 2 still counts as connected: A again does nothing; B, from
        // there, is switched.
        select(at("ANTENNA"), "A");
        ASSERT_TRUE(waitUntil([&] { return !runPending(); }));
        EXPECT_EQ(matrix->connections(), "");
        switchTo("B");
    }
    ASSERT_TRUE(matrix->waitFor("out 3 <- in 5"));

    // A connect that times out and is carried out late, after the user has
    // gone back to B: the late connection must not stay.
    ASSERT_TRUE(matrix->server->command("fault delay connect 2500"));
    switchTo("A");
    EXPECT_EQ(text(at("LASTDRIVERERROR")), "Antenna cannot be changed, Exception in call of MMR caught!");
    ASSERT_TRUE(matrix->server->command("fault clear"));
    ASSERT_TRUE(matrix->waitFor("out 3 <- in 2"));
    switchTo("B");
    tick();
    EXPECT_EQ(matrix->connections(), expected("out 3 <- in 5", "out 3 <- in 2"));
    EXPECT_EQ(text(at("LASTDRIVERERROR")), expected("", "Antenna cannot be changed, Exception in call of MMR caught!"))
        << "a successful switch empties it";
    EXPECT_EQ(text(at("MATRIXSTATE")), expected("connected: output 3 <- input 5 (antenna B)", "<absent>"));

    // Ticks with nothing to mend only meet the connection that is there.
    const int connects = matrix->calls("connect");
    tick();
    EXPECT_EQ(matrix->connections(), expected("out 3 <- in 5", "out 3 <- in 2"));
    EXPECT_EQ(matrix->calls("connect"), connects + (healing ? 1 : 0));

    // A manager that does not answer costs a tick one call timeout, not a
    // second one after looking the manager up again.
    if (healing) {
        ASSERT_TRUE(matrix->server->command("fault delay connect 2500"));
        tick();
        EXPECT_EQ(text(at("MATRIXSTATE")), "the matrix manager does not answer (call timed out)");
    }
}

// Found by the fault campaign: a receiver workstation killed and started
// again finds its output as its earlier life left it. The manager refuses a
// connect to a taken output, so the earlier antenna stayed there for good.
TEST_P(SelfHealing, AnAntennaLeftOnTheOutputByAnEarlierLifeMakesRoom)
{
    buildReceiver(device, {{"A", 2}, {"B", 5}, {"Z", 0}}, "RUNNING", 3);
    select(at("ANTENNA"), "A");
    matrix = std::make_unique<Matrix>(id);
    matrix->reference->connect(5, 3);
    matrix->reference->connect(2, 4);
    comm = std::make_unique<AntennaComm>();
    attach();
    ASSERT_TRUE(comm->init(device, &cfg));
    tick();
    EXPECT_EQ(matrix->connections(), expected("out 3 <- in 2; out 4 <- in 2", "out 3 <- in 5; out 4 <- in 2"));

    // An output taken up later is made room on too; "no input" frees it.
    values::Tree::Instance()->FindValue(at("ANTENNAS/MatrixOut"))->SetStringValue("4", nullptr);
    ASSERT_TRUE(waitUntil([&] { return !runPending(); }));
    select(at("ANTENNA"), "Z");
    ASSERT_TRUE(waitUntil([&] { return !runPending(); }));
    tick();
    EXPECT_EQ(matrix->connections(), expected("", "out 3 <- in 5; out 4 <- in 2"));
}

// Found by the fault campaign: a connect whose reply was lost may be carried
// out after the release that was meant to follow it (a stopped manager runs
// both once it goes on, in any order). The receiver had moved to an antenna
// without input meanwhile, and the late connection stayed for good.
TEST_P(SelfHealing, AConnectCarriedOutAfterItsReleaseIsReleasedAgain)
{
    startConnected();
    switchTo("B");
    ASSERT_TRUE(matrix->waitFor("out 3 <- in 5"));
    ASSERT_TRUE(matrix->server->command("fault delay connect 2500"));
    switchTo("A");
    ASSERT_TRUE(matrix->server->command("fault clear"));
    switchTo("Z");
    tick();
    ASSERT_TRUE(matrix->waitFor("out 3 <- in 2"));
    tick();
    EXPECT_EQ(matrix->connections(), expected("", "out 3 <- in 2"));
    // Once the manager has answered for a few ticks in a row, a tick costs no
    // more than before.
    for (int i = 0; i < 3; ++i)
        tick();
    const int disconnects = matrix->calls("disconnect");
    tick();
    EXPECT_EQ(matrix->calls("disconnect"), disconnects);
}

TEST_P(SelfHealing, CommitThenReselectionAndAMovedOutput)
{
    startConnected();
    switchTo("A");
    ASSERT_TRUE(matrix->waitFor("out 3 <- in 2"));
    comm->DisconnectAntenna();
    EXPECT_EQ(matrix->connections(), "");
    tick();
    EXPECT_EQ(matrix->connections(), "") << "CommitData is not undone by a tick";
    // The host selects the same antenna again.
    values::Tree::Instance()->FindValue(at("USINGANTENNAMATRIX"))->ReceiveCommand(nullptr);
    ASSERT_TRUE(waitUntil([&] { return !runPending(); }));
    EXPECT_EQ(matrix->connections(), expected("out 3 <- in 2", ""));
    if (!healing) {
        switchTo("B");
        switchTo("A");
    }
    ASSERT_TRUE(matrix->waitFor("out 3 <- in 2"));

    // A new MatrixOut: with self-healing the antenna moves there, without it
    // the old output keeps it and the next change lands on both outputs.
    values::Tree::Instance()->FindValue(at("ANTENNAS/MatrixOut"))->SetStringValue("4", nullptr);
    if (healing) {
        ASSERT_TRUE(runPending());
        ASSERT_TRUE(waitUntil([&] { return !runPending(); }));
    }
    EXPECT_EQ(matrix->connections(), expected("out 4 <- in 2", "out 3 <- in 2"));
    switchTo("B");
    EXPECT_EQ(matrix->connections(), expected("out 4 <- in 5", "out 3 <- in 2; out 4 <- in 5"));
}

TEST_P(SelfHealing, ManagerFoundLaterGetsTheSelectionAndTheRangesHandedMeanwhile)
{
    buildReceiver(device, {{"A", 2}, {"B", 5}, {"FAR", 65538}}, "RUNNING", 3);
    comm = std::make_unique<AntennaComm>();
    attach();
    EXPECT_FALSE(comm->init(device, &cfg)) << "no matrix manager yet";
    select(at("ANTENNA"), "A");
    std::vector<AntennaRangeDefinition> ranges {{"A", 10, 20}};
    comm->SetRangesToAntennaMatrix(ranges);
    tick();
    if (healing) {
        EXPECT_TRUE(text(at("MATRIXSTATE")).startsWith("waiting for the matrix manager CCO/LocalSystem/"));
    }

    // A notification finds the manager between two of the driver's retries.
    matrix = std::make_unique<Matrix>(id);
    select(at("HARDWARESTATUS"), "STOPPED");
    select(at("HARDWARESTATUS"), "RUNNING");
    ASSERT_TRUE(comm->init(device, &cfg));
    tick();
    EXPECT_EQ(matrix->connections(), expected("out 3 <- in 2", ""));
    EXPECT_EQ(matrix->status("ranges.out3"), expected("2:10:20", ""));
    switchTo("B");
    EXPECT_EQ(matrix->connections(), expected("out 3 <- in 5", ""));
    EXPECT_EQ(text(at("LASTDRIVERERROR")), expected("", "Antenna cannot be changed, CommController not responding!"));

    // An input number that is no port is an error, not another input.
    if (!healing)
        select(at("ANTENNA"), "A"); // the failed run lost the manager: this change looks it up
    switchTo("FAR");
    EXPECT_EQ(matrix->connections(), expected("out 3 <- in 5", healing ? "" : "out 3 <- in 2"));
    if (healing) {
        EXPECT_EQ(text(at("LASTDRIVERERROR")),
            "Antenna cannot be changed, ExternalNumber '65538' of antenna FAR is no matrix input (1..65535)!");
    }
}

TEST_P(SelfHealing, ValuesTheHostCreatesAgainAreFoundAgain)
{
    startConnected();
    switchTo("A");
    ASSERT_TRUE(matrix->waitFor("out 3 <- in 2"));
    values::Tree *tree = values::Tree::Instance();
    for (const char *path : {"ANTENNA", "HARDWARESTATUS", "LASTDRIVERERROR", "ANTENNAS/MatrixOut"})
        tree->RemoveValue(at(path));
    addReceiverValues(device, {"A", "B", "Z"}, "RUNNING", 3);
    tick();

    select(at("ANTENNA"), "B");
    EXPECT_EQ(runPending(), healing);
    EXPECT_TRUE(waitUntil([&] { return !runPending(); }));
    EXPECT_EQ(matrix->connections(), expected("out 3 <- in 5", "out 3 <- in 2"));
    matrix->server->kill();
    select(at("ANTENNA"), "A");
    EXPECT_TRUE(waitUntil([&] { return !runPending(); }));
    EXPECT_EQ(text(at("LASTDRIVERERROR")), expected("Antenna cannot be changed, Exception in call of MMR caught!", ""));
}

// The companion the driver creates ticks by itself: the ticks go on after the
// start-up, take the selection made before the manager was there to the
// matrix, and bring back what a restarted matrix manager lost.
TEST_F(AntennaCommTest, DriverTicksKeepTheSelectedAntennaConnected)
{
    const int reconnectMs = 50;
    buildReceiver(device, {{"A", 2}, {"B", 5}}, "RUNNING", 3);
    select(at("ANTENNA"), "A");
    auto driver = startDriver(QStringLiteral("AntennaSelfHealing=true\nReconnectTimer=%1\n").arg(reconnectMs));
    ASSERT_TRUE(waitUntil([&] { return text(at("MATRIXSTATE")).startsWith("waiting for the matrix manager"); }));

    // Meanwhile a tick costs the lookup of the manager's name at the CCO
    // and nothing more, at most once a tick. (Coarse timers may fire a little early.)
    const QString name = QStringLiteral("AntennaMatrixManager%1/").arg(id);
    const int from = ccoServer->lineCount();
    QElapsedTimer waiting;
    waiting.start();
    const auto calls = [&] { return ccoServer->lines().mid(from).filter(name); };
    ASSERT_TRUE(waitUntil([&] { return calls().filter("CALL Resolve ").size() >= 5; }, 5 * 10 * reconnectMs));
    const qint64 waited = waiting.elapsed();
    const QStringList seen = calls();
    const int resolves = seen.filter("CALL Resolve ").size();
    EXPECT_LE(resolves, waited * 11 / 10 / reconnectMs + 2);
    EXPECT_EQ(seen.filter("CALL ").size(), resolves);

    // One tick, the debounce and one call timeout (1500 ms) at most; a
    // second call timeout is the spare.
    const int boundMs = reconnectMs + 20 + 2 * 1500;
    matrix = std::make_unique<Matrix>(id);
    EXPECT_TRUE(matrix->waitFor("out 3 <- in 2")) << "the selection made before the manager was found";
    const auto *ticks = driver->findChild<QTimer *>();
    ASSERT_TRUE(ticks && ticks->isActive()) << "the ticks go on after the start-up";
    EXPECT_EQ(ticks->interval(), reconnectMs);

    matrix->server->stop();
    std::vector<AntennaRangeDefinition> ranges {{"B", 7, 8}};
    driver->SetRangesToAntennaMatrix(ranges);
    ASSERT_TRUE(waitUntil([&] { return text(at("MATRIXSTATE")).startsWith("waiting for the matrix manager"); }));
    matrix = std::make_unique<Matrix>(id);
    EXPECT_TRUE(waitUntil([&] { return matrix->connections() == "out 3 <- in 2"; }, boundMs));
    EXPECT_EQ(matrix->status("ranges.out3"), "5:7:8") << "ranges handed while the manager was away";
    EXPECT_EQ(text(at("MATRIXSTATE")), "connected: output 3 <- input 2 (antenna A)");

    driver.reset();
    EXPECT_EQ(text(at("MATRIXSTATE")), "<absent>");
}

INSTANTIATE_TEST_SUITE_P(Antenna, SelfHealing, ::testing::Bool(),
    [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "On" : "Off"; });

// vorn-host with the shipped examples, as the README's demo runs it.
TEST(AntennaHost, ExamplesSwitchAntennasThroughTheMatrix)
{
    Matrix matrix(1, {}, "demo-ws"); // named by receiver.ini
    const QString examples = QStringLiteral(VORN_HOST_EXAMPLES "/");
    QFile script(examples + "antenna-switching.vorn");
    ASSERT_TRUE(script.open(QIODevice::ReadOnly));
    QProcess host;
    host.start(VORN_HOST_PATH,
        {"--cco", ccoServer->corbaloc(), "--config", examples + "receiver.ini", "--script",
            examples + "receiver-tree.vorn"});
    ASSERT_TRUE(host.waitForStarted());
    host.write(script.readAll() + "quit\n");
    host.closeWriteChannel();
    ASSERT_TRUE(host.waitForFinished(30000));
    EXPECT_EQ(host.exitCode(), 0) << host.readAllStandardError().constData();

    for (const char *line : {"CALL connect 3 2 -> ok", "CALL disconnect 3 2 -> ok", "CALL connect 6 2 -> ok",
             "CALL disconnect 6 2 -> ok", "CALL connect 4 2 -> ok",
             "CALL setRanges 2 3:1500000:30000000 6:30000000:3000000000 -> ok", "CALL disconnect 4 2 -> ok"})
        EXPECT_TRUE(matrix.served(line)) << line;
    EXPECT_EQ(matrix.calls("connect"), 3) << "DUMMYLOAD has no input";
}

class AntennaPx19 : public AntennaCommTest
{
};

// A PX19 receiver has no HARDWARESTATUS and no LASTDRIVERERROR: it counts as
// running, and its antenna changes switch like any other's. Only the name in
// capitals makes a device a PX19; another device without those values is no
// receiver the antenna side can drive. Input 65535 is the highest there is.
TEST_F(AntennaPx19, SwitchesWithoutAHardwareStatus)
{
    device = QStringLiteral("/DEVICES/PX19_%1").arg(id);
    addAntennaNode(device, "A", 2);
    addAntennaNode(device, "B", 5);
    addAntennaNode(device, "TOP", 65535);
    addValue<values::Value<int>>(at("ANTENNAS"), "MatrixOut")->SetValue(3, nullptr);
    addValue<values::ValueSelection>(device, "ANTENNA")->SetItems({"A", "B", "TOP"}, nullptr);
    matrix = std::make_unique<Matrix>(id);
    comm = std::make_unique<AntennaComm>();
    healer = std::make_unique<AntennaSelfHealing>(*comm, 0, nullptr);
    ASSERT_TRUE(comm->init(device, &cfg));
    switchTo("B");
    EXPECT_TRUE(matrix->waitFor("out 3 <- in 5"));
    switchTo("A");
    EXPECT_TRUE(matrix->waitFor("out 3 <- in 2"));
    EXPECT_EQ(trace.count("ExternalNumber '65535'"), 0);

    const QString lowerCase = QStringLiteral("/DEVICES/px19_%1").arg(id);
    addValue<values::ValueSelection>(lowerCase, "ANTENNA")->SetItems({"A"}, nullptr);
    EXPECT_FALSE(AntennaComm().init(lowerCase, &cfg));
    values::TreeHost::RemoveNode(lowerCase);
}
