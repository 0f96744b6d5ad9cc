// The driver's antenna side: AntennaComm started at the end of the driver's
// start-up and retried on its timer, the host's CommitData and ranges
// forwarded, and nothing of it left once the driver is gone.
#include "antennatestsupport.h"
#include "externalccodriver.h"
#include "waituntil.h"

#include "cfgcenter.h"
#include "tree.h"
#include "value.h"
#include "valueselection.h"

#include <QAbstractEventDispatcher>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <gtest/gtest.h>

using namespace antennatest;
using receivers::antenna::driver::AntennaRangeDefinition;
using testsupport::waitUntil;

namespace
{
class AntennaDriverTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        id = nextMatrixId();
        device = QStringLiteral("/DEVICES/DRV%1").arg(id);
        instance = QStringLiteral("AntennaDriver%1").arg(id);
    }

    void TearDown() override
    {
        delete driver;
        CfgCenter::SetConfigLocation(QString());
        values::Tree::Instance()->RemoveNode(device);
    }

    void configure(bool antennaSide)
    {
        const QString file = dir.filePath(QStringLiteral("vorn.ini"));
        QFile ini(file);
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly | QIODevice::Text));
        QTextStream(&ini) << '[' << instance << "]\n"
                          << "AntennaMatrixDriver=" << (antennaSide ? "true" : "false") << '\n'
                          << "ReconnectTimer=30\n"
                          << "ValuePath=" << device << '\n'
                          << "MatrixID=" << id << '\n';
        ini.close();
        CfgCenter::SetConfigLocation(file);
    }

    bool retrying() const { return !QAbstractEventDispatcher::instance()->registeredTimers(driver).isEmpty(); }
    QString at(const QString &relative) const { return device + QLatin1Char('/') + relative; }

    int id = 0;
    QString device;
    QString instance;
    QTemporaryDir dir;
    TraceLog trace;
    ExternalCCODriver *driver = nullptr;
};

TEST_F(AntennaDriverTest, RetriesTheAntennaStartUpUntilTheReceiverValuesExist)
{
    configure(true);
    Matrix matrix(id);
    ASSERT_TRUE(matrix.start());
    driver = new ExternalCCODriver(instance);
    driver->Init();
    ASSERT_TRUE(retrying());
    // A few ticks without the receiver's values.
    EXPECT_FALSE(waitUntil([&] { return !retrying(); }, 150));
    EXPECT_EQ(text(at("USINGANTENNAMATRIX")), "<absent>");

    buildReceiver(device, {{"A", 2}, {"B", 5}}, QStringLiteral("RUNNING"), 4);
    ASSERT_TRUE(waitUntil([&] { return !retrying(); }, 2000)) << "started on a later tick";
    EXPECT_EQ(text(at("USINGANTENNAMATRIX")), "true");

    driver->CommitData(); // nothing connected yet: no call
    select(at("ANTENNA"), "B");
    EXPECT_TRUE(matrix.waitForConnections("out 4 <- in 5"));

    std::vector<AntennaRangeDefinition> ranges {{QStringLiteral("A"), 7, 8}};
    driver->SetRangesToAntennaMatrix(ranges);
    EXPECT_EQ(matrix.status("ranges.out4"), "2:7:8");

    driver->CommitData();
    EXPECT_EQ(matrix.connections(), "");
    EXPECT_EQ(matrix.calls("disconnect"), 1);

    delete driver;
    driver = nullptr;
    EXPECT_EQ(text(at("USINGANTENNAMATRIX")), "<absent>");
    EXPECT_EQ(values::Tree::Instance()->FindValue(at("ANTENNA"))->ObserverCount(), 0);
}

TEST_F(AntennaDriverTest, BrokenReceiverTreeIsRetriedNotThrown)
{
    configure(true);
    Matrix matrix(id);
    ASSERT_TRUE(matrix.start());
    // A value where the ANTENNAS node belongs: the tree throws on the way
    // to ANTENNAS/MatrixOut.
    buildReceiver(device, {{"A", 6}}, QStringLiteral("RUNNING"), 3);
    values::Tree *tree = values::Tree::Instance();
    tree->RemoveNode(at("ANTENNAS"));
    auto *blocker = new values::Value<QString>;
    blocker->SetName(QStringLiteral("ANTENNAS"), nullptr);
    ASSERT_TRUE(tree->AddValue(device, blocker));

    driver = new ExternalCCODriver(instance);
    driver->Init();
    ASSERT_TRUE(waitUntil([&] { return trace.countContaining("ExternalCCODriver: antenna start-up failed") >= 2; }));
    ASSERT_TRUE(retrying());

    // The host corrects its tree; the next tick completes the start-up,
    // antenna table included.
    tree->RemoveValue(at("ANTENNAS"));
    addAntennaNode(device, {"A", 6});
    ASSERT_TRUE(waitUntil([&] { return !retrying(); }, 2000));
    tree->FindValue(at("ANTENNAS/MatrixOut"))->SetStringValue(QStringLiteral("3"), nullptr);
    select(at("ANTENNA"), "A");
    EXPECT_TRUE(matrix.waitForConnections("out 3 <- in 6"));
}

TEST_F(AntennaDriverTest, WithoutTheAntennaSideTheRequestsFindNothing)
{
    configure(false);
    buildReceiver(device, {{"A", 2}}, QStringLiteral("RUNNING"), 3);
    driver = new ExternalCCODriver(instance);
    driver->Init();
    EXPECT_FALSE(retrying());
    EXPECT_EQ(text(at("USINGANTENNAMATRIX")), "<absent>");

    driver->CommitData();
    std::vector<AntennaRangeDefinition> ranges {{QStringLiteral("A"), 1, 2}};
    driver->SetRangesToAntennaMatrix(ranges);
    EXPECT_EQ(trace.count("ExternalCCODriver: No Antenna Communication Possible!"), 1);
}
}
