// AntennaComm against a real cco-server and matrix-server: what it switches
// in the matrix, how it debounces, how it survives matrix managers that go
// away, come back or are not what the CCO says, the ranges it hands over, and
// what it leaves behind in the value tree.
#include "antennacomm.h"
#include "antennatestsupport.h"
#include "waituntil.h"

#include "node.h"
#include "tree.h"
#include "value.h"
#include "valueselection.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>

#include <gtest/gtest.h>

using namespace antennatest;
using receivers::antenna::driver::AntennaRangeDefinition;
using testsupport::waitUntil;

namespace
{
const QString run = QStringLiteral("Call Connect Antenna");
const QString runFound = QStringLiteral("Call Connect Antenna found");
const QString notResponding = QStringLiteral("Antenna cannot be changed, CommController not responding!");
const QString notAvailable = QStringLiteral("Antenna cannot be changed, MatrixManager not available!");
const QString mmrException = QStringLiteral("Antenna cannot be changed, Exception in call of MMR caught!");

class AntennaCommTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        id = nextMatrixId();
        device = QStringLiteral("/DEVICES/RX%1").arg(id);
        cfg.entries[QStringLiteral("MatrixID")] = QString::number(id);
    }

    void TearDown() override
    {
        comm.reset();
        values::Tree::Instance()->RemoveNode(device);
    }

    QString at(const QString &relative) const { return device + QLatin1Char('/') + relative; }

    // Antennas A (input 2), B (input 5) and Z (no input) on output 3, the
    // matrix running and found.
    void startConnected(QStringList matrixArgs = {})
    {
        buildReceiver(device, {{"A", 2}, {"B", 5}, {"Z", 0}}, QStringLiteral("RUNNING"), 3);
        matrix = std::make_unique<Matrix>(id, matrixArgs);
        ASSERT_TRUE(matrix->start());
        comm = std::make_unique<AntennaComm>();
        ASSERT_TRUE(comm->init(device, &cfg));
    }

    bool runPending() const { return !QAbstractEventDispatcher::instance()->registeredTimers(comm.get()).isEmpty(); }

    // Selects and waits until the switching run that this schedules is
    // over: the run kills its timer first and makes all its calls before
    // the event loop gets control back.
    void switchTo(const QString &antenna)
    {
        select(at(QStringLiteral("ANTENNA")), antenna);
        ASSERT_TRUE(runPending()) << "no switching run scheduled";
        ASSERT_TRUE(waitUntil([&] { return !runPending(); }, 5000));
    }

    int id = 0;
    QString device;
    MapCfg cfg;
    TraceLog trace;
    std::unique_ptr<Matrix> matrix;
    std::unique_ptr<AntennaComm> comm;
};

TEST_F(AntennaCommTest, SwitchesTheSelectedAntennaOntoTheOutput)
{
    startConnected();
    EXPECT_EQ(text(at("USINGANTENNAMATRIX")), "true");
    EXPECT_EQ(text(at("DRIVEROCCUPIED")), "false");

    switchTo("A");
    EXPECT_TRUE(matrix->waitForConnections("out 3 <- in 2"));
    EXPECT_EQ(trace.countContaining("Call Connect Antenna with slots: 2 in 3 out"), 1);

    switchTo("B");
    EXPECT_TRUE(matrix->waitForConnections("out 3 <- in 5"));
    EXPECT_GE(matrix->process().waitForLine("CALL disconnect 2 3 -> ok", 2000), 0);
    EXPECT_EQ(matrix->calls("connect"), 2);

    // A command for USINGANTENNAMATRIX runs the switch again; the antenna is
    // connected already, so the matrix sees nothing.
    // A second command while that run is pending changes nothing.
    const int found = trace.count(runFound);
    values::ValueBase *using_ = values::Tree::Instance()->FindValue(at("USINGANTENNAMATRIX"));
    using_->ReceiveCommand(nullptr);
    using_->ReceiveCommand(nullptr);
    EXPECT_EQ(trace.count("Connect Thread Started!"), 1);
    ASSERT_TRUE(waitUntil([&] { return !runPending(); }));
    EXPECT_EQ(trace.count(runFound), found + 1);
    EXPECT_EQ(matrix->calls("connect"), 2);
    EXPECT_EQ(matrix->calls("disconnect"), 1);
    EXPECT_TRUE(text(at("LASTDRIVERERROR")).isEmpty());
}

TEST_F(AntennaCommTest, AntennaWithoutInputDisconnectsAndConnectsNothing)
{
    startConnected();
    switchTo("A");
    ASSERT_TRUE(matrix->waitForConnections("out 3 <- in 2"));

    switchTo("Z");
    EXPECT_TRUE(matrix->waitForConnections(""));
    EXPECT_EQ(matrix->calls("connect"), 1);

    // Nothing is connected now, so the next antenna is connected without a
    // disconnect first.
    switchTo("B");
    EXPECT_TRUE(matrix->waitForConnections("out 3 <- in 5"));
    EXPECT_EQ(matrix->calls("disconnect"), 1);
}

TEST_F(AntennaCommTest, FailedDisconnectDoesNotStopTheConnect)
{
    startConnected();
    switchTo("A");
    ASSERT_TRUE(matrix->waitForConnections("out 3 <- in 2"));
    // Someone else clears the output behind the driver's back.
    matrix->ref()->disconnect(2, 3);

    switchTo("B");
    EXPECT_TRUE(matrix->waitForConnections("out 3 <- in 5"));
    EXPECT_EQ(
        trace.count("AntennaComm::OnAntennaChanged:Exception - MatrixManager::IF_MMR_c::NotConnectedException"), 1);
}

TEST_F(AntennaCommTest, FailedConnectKeepsTheOldInput)
{
    startConnected();
    switchTo("A");
    ASSERT_TRUE(matrix->waitForConnections("out 3 <- in 2"));

    ASSERT_TRUE(matrix->process().command("fault raise connect ConnectionFailureException relay stuck"));
    switchTo("B");
    EXPECT_TRUE(matrix->waitForConnections(""));
    EXPECT_EQ(
        trace.count("AntennaComm::OnAntennaChanged:Exception - MatrixManager::IF_MMR_c::ConnectionFailureException"),
        1);
    EXPECT_TRUE(text(at("LASTDRIVERERROR")).isEmpty()) << "a declared exception is traced only";

    // Input 2 still counts as connected: selecting A again does nothing,
    // and the next antenna disconnects input 2 again first.
    ASSERT_TRUE(matrix->process().command("fault clear"));
    const int connects = matrix->calls("connect");
    switchTo("A");
    EXPECT_EQ(matrix->calls("connect"), connects);
    switchTo("B");
    EXPECT_GE(matrix->process().waitForLine("CALL disconnect 2 3 -> NotConnectedException", 2000), 0);
    EXPECT_TRUE(matrix->waitForConnections("out 3 <- in 5"));
}

TEST_F(AntennaCommTest, ChangesWithinTheDebounceMakeOneRun)
{
    startConnected();
    select(at("ANTENNA"), "A");
    // 10 ms without the event loop: the first change's timer cannot fire,
    // only a timer that was not restarted would run twice.
    QElapsedTimer gap;
    gap.start();
    while (gap.elapsed() < 10) { }
    const qint64 secondChange = trace.now();
    select(at("ANTENNA"), "B");

    ASSERT_TRUE(matrix->waitForConnections("out 3 <- in 5"));
    // A second run would have come 10 ms before this one; give a broken
    // debounce ample time to show.
    EXPECT_FALSE(waitUntil([&] { return trace.count(run) > 1; }, 100));
    EXPECT_EQ(trace.count(run), 1);
    EXPECT_FALSE(runPending()) << "the first change's timer is gone too";
    EXPECT_EQ(matrix->calls("connect"), 1);
    EXPECT_GE(trace.timeOf(run) - secondChange, 18) << "the run comes 20 ms after the last change";
}

TEST_F(AntennaCommTest, MatrixIsLookedUpWhenTheHardwareRuns)
{
    buildReceiver(device, {{"A", 2}, {"B", 5}}, QStringLiteral("STOPPED"), 3);
    matrix = std::make_unique<Matrix>(id);
    ASSERT_TRUE(matrix->start());
    comm = std::make_unique<AntennaComm>();
    EXPECT_TRUE(comm->init(device, &cfg)) << "stopped hardware: no lookup, nothing to retry";
    select(at("ANTENNA"), "A");
    EXPECT_FALSE(runPending()) << "not looked up, so nothing to switch";
    values::Tree::Instance()->FindValue(at("USINGANTENNAMATRIX"))->ReceiveCommand(nullptr);
    EXPECT_FALSE(runPending());
    EXPECT_EQ(trace.count("User CMD received"), 1);

    select(at("HARDWARESTATUS"), "RUNNING");
    // Found now; the antenna selected before is switched with the next
    // change.
    switchTo("B");
    EXPECT_TRUE(matrix->waitForConnections("out 3 <- in 5"));
    EXPECT_EQ(matrix->calls("connect"), 1);
}

TEST_F(AntennaCommTest, InitWaitsForTheReceiverValues)
{
    // ANTENNA there, HARDWARESTATUS not yet.
    addAntennaNode(device, {"A", 2});
    auto *antenna = new values::ValueSelection;
    antenna->SetName(QStringLiteral("ANTENNA"), nullptr);
    antenna->SetItems({QStringLiteral("A")}, nullptr);
    ASSERT_TRUE(values::Tree::Instance()->AddValue(device, antenna));

    comm = std::make_unique<AntennaComm>();
    EXPECT_FALSE(comm->init(device, &cfg));
    EXPECT_FALSE(comm->init(device, &cfg));
    EXPECT_EQ(antenna->ObserverCount(), 1) << "a repeated init observes the selection once";
    EXPECT_EQ(text(at("USINGANTENNAMATRIX")), "<absent>");
    EXPECT_EQ(text(at("DRIVEROCCUPIED")), "<absent>");

    // Another workstation's matrix, named in the configuration.
    cfg.entries[QStringLiteral("MatrixRemoteHost")] = QStringLiteral("WS9");
    matrix = std::make_unique<Matrix>(id, QStringList {}, QStringLiteral("WS9"));
    ASSERT_TRUE(matrix->start());
    auto *status = new values::ValueSelection;
    status->SetName(QStringLiteral("HARDWARESTATUS"), nullptr);
    status->SetItems({QStringLiteral("RUNNING")}, nullptr);
    status->SetSelectedItem(QStringLiteral("RUNNING"), nullptr);
    ASSERT_TRUE(values::Tree::Instance()->AddValue(device, status));
    EXPECT_TRUE(comm->init(device, &cfg));
    EXPECT_EQ(text(at("USINGANTENNAMATRIX")), "true");
    EXPECT_EQ(text(at("DRIVEROCCUPIED")), "false");
    EXPECT_EQ(text(at("ANTENNAS/MatrixOut")), "0") << "created when missing";

    // The output port follows MatrixOut.
    values::Tree::Instance()->FindValue(at("ANTENNAS/MatrixOut"))->SetStringValue(QStringLiteral("4"), nullptr);
    switchTo("A");
    EXPECT_TRUE(matrix->waitForConnections("out 4 <- in 2"));
}

TEST_F(AntennaCommTest, MatrixFoundBetweenTwoInitsIsLookedUpAgainAfterOneFailedRun)
{
    buildReceiver(device, {{"A", 2}, {"B", 5}}, QStringLiteral("RUNNING"), 3);
    comm = std::make_unique<AntennaComm>();
    ASSERT_FALSE(comm->init(device, &cfg)) << "no matrix manager yet";
    matrix = std::make_unique<Matrix>(id);
    ASSERT_TRUE(matrix->start());
    // A change finds it before the driver's next retry of init does. That
    // retry clears the manager's name, and the lookup it makes returns at
    // once because the manager is found already.
    select(at("ANTENNA"), "A");
    ASSERT_TRUE(comm->init(device, &cfg));
    switchTo("B");
    EXPECT_EQ(text(at("LASTDRIVERERROR")), notResponding);

    // Not connected any more: the next change looks the manager up under its
    // full name, and the one after that is switched.
    select(at("ANTENNA"), "A");
    EXPECT_FALSE(runPending());
    switchTo("B");
    EXPECT_TRUE(matrix->waitForConnections("out 3 <- in 5"));
    EXPECT_EQ(matrix->calls("connect"), 1);
}

TEST_F(AntennaCommTest, RestartedMatrixServerIsFoundAgain)
{
    startConnected();
    switchTo("A");
    ASSERT_TRUE(matrix->waitForConnections("out 3 <- in 2"));

    matrix->stop();
    matrix = std::make_unique<Matrix>(id);
    ASSERT_TRUE(matrix->start());
    switchTo("B");
    // The new server knows nothing of input 2; the disconnect fails and the
    // connect goes through.
    EXPECT_TRUE(matrix->waitForConnections("out 3 <- in 5"));
    EXPECT_GE(matrix->process().waitForLine("CALL disconnect 2 3 -> NotConnectedException", 2000), 0);
    EXPECT_TRUE(text(at("LASTDRIVERERROR")).isEmpty());
}

TEST_F(AntennaCommTest, StoppedMatrixServerIsReportedAndLookedUpAgain)
{
    startConnected();
    switchTo("A");
    ASSERT_TRUE(matrix->waitForConnections("out 3 <- in 2"));

    matrix->stop();
    switchTo("B");
    EXPECT_EQ(text(at("LASTDRIVERERROR")), notResponding);

    // Not connected any more: a change only looks the manager up, and the
    // change after that is switched.
    ASSERT_TRUE(matrix->start());
    select(at("ANTENNA"), "A");
    EXPECT_FALSE(runPending());
    switchTo("B");
    EXPECT_TRUE(matrix->waitForConnections("out 3 <- in 5"));
}

TEST_F(AntennaCommTest, CrashedMatrixServerFailsTheCall)
{
    startConnected();
    switchTo("A");
    ASSERT_TRUE(matrix->waitForConnections("out 3 <- in 2"));

    // Killed: its registration stays, the reference leads nowhere.
    matrix->kill();
    switchTo("B");
    EXPECT_EQ(text(at("LASTDRIVERERROR")), mmrException);
    EXPECT_EQ(trace.count("Caught Expection in AntennaComm disconnect, OnAntennaChanged"), 1);
}

TEST_F(AntennaCommTest, ObjectThatIsNoMatrixManagerIsReported)
{
    startConnected();
    switchTo("A");
    ASSERT_TRUE(matrix->waitForConnections("out 3 <- in 2"));

    matrix->stop();
    // The CCO now hands out itself under the matrix manager's name.
    cco()->Register(matrixPath(id).toLatin1().constData(), cco(), CCO::RT_Single);
    switchTo("B");
    EXPECT_EQ(text(at("LASTDRIVERERROR")), notAvailable);

    // Nil reference, still "connected": the driver's disconnect fails
    // quietly, without reaching the host.
    comm->DisconnectAntenna();
    EXPECT_EQ(trace.count("Caught Expection in AntennaComm disconnect, OnAntennaChanged"), 1);
    std::vector<AntennaRangeDefinition> ranges {{QStringLiteral("A"), 1, 2}};
    comm->SetRangesToAntennaMatrix(ranges);
    EXPECT_EQ(trace.count(QStringLiteral("Could not resolve Antenna Matrix Driver @ ") + matrixPath(id)), 1);
    CORBA::Object_var old = cco()->Unregister(matrixPath(id).toLatin1().constData(), CCO::RT_Single);
}

TEST_F(AntennaCommTest, HungMatrixServerCostsOneCallTimeout)
{
    startConnected();
    ASSERT_TRUE(matrix->process().command("fault hang connect"));
    QElapsedTimer clock;
    clock.start();
    switchTo("A");
    EXPECT_LT(clock.elapsed(), 1500 + 1000) << "bounded by the ORB's call timeout";
    EXPECT_EQ(text(at("LASTDRIVERERROR")), mmrException);
    ASSERT_TRUE(matrix->process().command("fault clear"));
}

TEST_F(AntennaCommTest, RangesGoToTheReceiversOutput)
{
    startConnected();
    addAntennaNode(device, {"SPARE", 9}); // a node, but not offered by ANTENNA
    std::vector<AntennaRangeDefinition> ranges {{QStringLiteral("B"), 100, 200}, {QStringLiteral("UNKNOWN"), -5, 5},
        {QStringLiteral("SPARE"), 1, 2}, {QStringLiteral("B"), 300, 250}};
    comm->SetRangesToAntennaMatrix(ranges);
    EXPECT_EQ(trace.count("AntennaComm: setting ranges successful"), 0) << "port 0 is refused by this matrix";
    EXPECT_GE(matrix->process().waitForLine("CALL setRanges 3 5:100:200 0:-5:5 0:1:2 5:300:250", 2000), 0);

    // An unknown name stays in the table with port 0: selecting it later
    // would be the no-input case.
    std::vector<AntennaRangeDefinition> good {{QStringLiteral("A"), 1, 2}, {QStringLiteral("B"), 3, 4}};
    comm->SetRangesToAntennaMatrix(good);
    EXPECT_EQ(trace.count("AntennaComm: setting ranges successful"), 1);
    EXPECT_EQ(matrix->status("ranges.out3"), "2:1:2,5:3:4");
    EXPECT_EQ(ranges.size(), 4u) << "the vector is not changed";
}

TEST_F(AntennaCommTest, RangeFailuresAreTracedWithTheirReason)
{
    startConnected({QStringLiteral("--no-ranges")});
    std::vector<AntennaRangeDefinition> ranges {{QStringLiteral("A"), 1, 2}};
    comm->SetRangesToAntennaMatrix(ranges);
    EXPECT_EQ(trace.count("AntennaComm: Ranges are not supported, because this matrix does not support ranges"), 1);

    ASSERT_TRUE(matrix->process().command("fault raise setRanges UnknownPortException output 3 is wired nowhere"));
    comm->SetRangesToAntennaMatrix(ranges);
    EXPECT_EQ(trace.count("AntennaComm: Port is unknown, because output 3 is wired nowhere"), 1);

    ASSERT_TRUE(matrix->process().command("fault raise setRanges TRANSIENT"));
    comm->SetRangesToAntennaMatrix(ranges);
    EXPECT_EQ(trace.count("AntennaComm: could not set antenna ranges to matrix server"), 1);
}

TEST_F(AntennaCommTest, RangesFollowARestartedMatrixServer)
{
    startConnected();
    std::vector<AntennaRangeDefinition> ranges {{QStringLiteral("A"), 10, 20}};
    matrix->stop();
    matrix = std::make_unique<Matrix>(id);
    ASSERT_TRUE(matrix->start()); // on another port: the old reference is dead
    comm->SetRangesToAntennaMatrix(ranges);
    EXPECT_EQ(trace.count("AntennaComm: setting ranges successful"), 1) << qPrintable(trace.all());
    EXPECT_EQ(matrix->status("ranges.out3"), "2:10:20");
}

TEST_F(AntennaCommTest, DestructionLeavesTheMatrixAndTheHostsValues)
{
    startConnected();
    switchTo("A");
    ASSERT_TRUE(matrix->waitForConnections("out 3 <- in 2"));
    comm.reset();

    values::Tree *tree = values::Tree::Instance();
    EXPECT_EQ(tree->FindValue(at("USINGANTENNAMATRIX")), nullptr);
    EXPECT_EQ(tree->FindValue(at("DRIVEROCCUPIED")), nullptr);
    ASSERT_NE(tree->FindValue(at("ANTENNAS/MatrixOut")), nullptr);
    EXPECT_EQ(tree->FindValue(at("ANTENNAS/MatrixOut"))->ObserverCount(), 0);
    EXPECT_EQ(tree->FindValue(at("ANTENNA"))->ObserverCount(), 0);
    EXPECT_EQ(tree->FindValue(at("HARDWARESTATUS"))->ObserverCount(), 0);
    EXPECT_EQ(tree->FindNode(at("ANTENNAS"))->ObserverCount(), 0);
    EXPECT_EQ(matrix->connections(), "out 3 <- in 2");

    // A new instance finds the tree as the old one left it.
    comm = std::make_unique<AntennaComm>();
    EXPECT_TRUE(comm->init(device, &cfg));
    EXPECT_EQ(text(at("USINGANTENNAMATRIX")), "true");
}

TEST_F(AntennaCommTest, SelectionRemovedWhileARunIsPending)
{
    startConnected();
    select(at("ANTENNA"), "A");
    values::Tree::Instance()->RemoveValue(at("ANTENNA"));
    ASSERT_TRUE(waitUntil([&] { return !runPending(); }));
    EXPECT_EQ(trace.count("AntennaComm::OnAntennaChanged: antenna selection gone, nothing switched"), 1);
    EXPECT_EQ(matrix->calls("connect"), 0);
}

TEST_F(AntennaCommTest, ReplacedAntennasNodeAndErrorValueAreFollowed)
{
    startConnected();
    values::Tree *tree = values::Tree::Instance();

    // The host rebuilds ANTENNAS (the new node may well sit where the old
    // one was): the next change reads the new table.
    tree->RemoveNode(at("ANTENNAS"));
    addAntennaNode(device, {"A", 7});
    switchTo("A");
    EXPECT_TRUE(matrix->waitForConnections("out 3 <- in 7"));

    // LASTDRIVERERROR replaced: the error goes to the new value.
    tree->RemoveValue(at("LASTDRIVERERROR"));
    auto *error = new values::Value<QString>;
    error->SetName(QStringLiteral("LASTDRIVERERROR"), nullptr);
    ASSERT_TRUE(tree->AddValue(device, error));
    matrix->stop();
    switchTo("B");
    EXPECT_EQ(error->GetValue(), notResponding);
}

TEST_F(AntennaCommTest, DeviceOfTypePX19NeedsNoHardwareStatus)
{
    device = QStringLiteral("/DEVICES/PX19-%1").arg(id);
    matrix = std::make_unique<Matrix>(id);
    ASSERT_TRUE(matrix->start());
    auto *error = new values::Value<QString>;
    error->SetName(QStringLiteral("LASTDRIVERERROR"), nullptr);
    ASSERT_TRUE(values::Tree::Instance()->AddValue(device, error));

    comm = std::make_unique<AntennaComm>();
    EXPECT_TRUE(comm->init(device, &cfg)) << "found at once, without HARDWARESTATUS";
    auto *antenna = dynamic_cast<values::ValueSelection *>(values::Tree::Instance()->FindValue(at("ANTENNA")));
    ASSERT_NE(antenna, nullptr) << "created when missing";

    // No error value on this device type, even when one exists. (New items
    // are a change of the selection as well.)
    matrix->stop();
    antenna->SetItems({QStringLiteral("A")}, nullptr);
    ASSERT_TRUE(runPending());
    ASSERT_TRUE(waitUntil([&] { return !runPending(); }));
    EXPECT_TRUE(error->GetValue().isEmpty());
    EXPECT_EQ(trace.count(run), 0) << "the lookup failed first";
}
}
