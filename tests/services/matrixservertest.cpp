// matrix-server over IIOP: switching semantics, ranges, the state it
// reports, and its registration at the CCO through CCO outages.
#include "clientorb.h"
#include "serverprocess.h"
#include "waituntil.h"

#include <cco.hh>
#include <matrixmanager.hh>

#include <QProcess>

#include <gtest/gtest.h>

using namespace servicetests;
using testsupport::ServerProcess;
using MMR = MatrixManager::IF_MMR_c;

namespace
{
MatrixManager::PortRangeList rangeList(std::initializer_list<MatrixManager::PortRange> items)
{
    MatrixManager::PortRangeList list;
    list.length(CORBA::ULong(items.size()));
    CORBA::ULong i = 0;
    for (const auto &r : items)
        list[i++] = r;
    return list;
}

std::string text(char *s)
{
    CORBA::String_var holder = s;
    return holder.in();
}

template <typename Exception, typename Call>
std::string reasonOf(Call &&call)
{
    try {
        call();
    } catch (const Exception &e) {
        return e.reason.in();
    } catch (const CORBA::Exception &e) {
        return std::string("unexpected ") + e._name();
    }
    return "no exception";
}

class MatrixServerTest : public ::testing::Test
{
protected:
    void start(const QStringList &args)
    {
        server = testsupport::startMatrixServer(QString(), QStringList{"--inputs", "6", "--outputs", "4"} + args);
        ASSERT_TRUE(server->ready()) << server->errorText().toStdString();
        mmr = narrowTo<MMR>(server->corbaloc().toStdString());
        ASSERT_FALSE(CORBA::is_nil(mmr));
    }
    void SetUp() override { start({}); }

    std::unique_ptr<ServerProcess> server;
    MMR::_var_type mmr;
};
}

TEST_F(MatrixServerTest, SwitchesLikeAMatrix)
{
    EXPECT_TRUE(mmr->init());
    EXPECT_EQ(mmr->GetMaxInputPorts(), 6);
    EXPECT_EQ(mmr->GetMaxOutputPorts(), 4);
    EXPECT_EQ(text(mmr->connectionData()), "");

    mmr->connect(2, 3);
    mmr->connect(2, 4); // one antenna may feed several receivers
    mmr->connect(6, 1);
    EXPECT_EQ(text(mmr->connectionData()), "out 1 <- in 6; out 3 <- in 2; out 4 <- in 2");

    EXPECT_EQ(reasonOf<MMR::ConnectedException>([&] { mmr->connect(2, 3); }),
              "input 2 is already connected to output 3");
    EXPECT_EQ(reasonOf<MMR::ConnectedException>([&] { mmr->connect(5, 3); }), "output 3 is taken by input 2");
    EXPECT_EQ(reasonOf<MMR::NotConnectedException>([&] { mmr->disconnect(5, 3); }),
              "input 5 is not connected to output 3 (input 2 is)");
    EXPECT_EQ(reasonOf<MMR::NotConnectedException>([&] { mmr->disconnect(5, 2); }), "output 2 is not connected");
    for (auto ports : {std::pair<int, int>{0, 1}, {7, 1}, {1, 0}, {1, 5}, {65535, 65535}}) {
        EXPECT_FALSE(reasonOf<MMR::UnknownPortException>([&] { mmr->connect(ports.first, ports.second); }).empty());
        EXPECT_FALSE(reasonOf<MMR::UnknownPortException>([&] { mmr->disconnect(ports.first, ports.second); }).empty());
    }

    // Switching an antenna: off the old input, onto the new one.
    mmr->disconnect(2, 3);
    mmr->connect(5, 3);
    EXPECT_EQ(text(mmr->connectionData()), "out 1 <- in 6; out 3 <- in 5; out 4 <- in 2");

    mmr->reset();
    EXPECT_EQ(text(mmr->connectionData()), "");
    const std::string status = text(mmr->statusData());
    EXPECT_NE(status.find("inputs=6 outputs=4 init=true ranges=supported connections=0"), std::string::npos)
        << status;
    EXPECT_NE(status.find("calls.connect=11 calls.disconnect=8 calls.reset=1"), std::string::npos) << status;
    EXPECT_GE(server->waitForLine("CALL connect 5 3 -> ok", 1000), 0);
    EXPECT_GE(server->waitForLine("CALL connect 2 3 -> ConnectedException", 1000), 0);
}

TEST_F(MatrixServerTest, RangesPerOutput)
{
    auto out = MatrixManager::PortRangeList_var(
        mmr->setRanges(2, rangeList({{5, 100, 200}, {6, -5, 5}, {5, 300, 250}})));
    EXPECT_EQ(out->length(), 3u);
    EXPECT_EQ(out[2].rangeStart, 300);
    out = mmr->setRanges(4, rangeList({{1, -9000000000LL, 9000000000LL}}));
    std::string status = text(mmr->statusData());
    EXPECT_NE(status.find(" ranges.out2=5:100:200,6:-5:5,5:300:250 ranges.out4=1:-9000000000:9000000000"),
              std::string::npos)
        << status;

    // An empty list clears the output's ranges and comes back empty.
    out = mmr->setRanges(2, MatrixManager::PortRangeList());
    EXPECT_EQ(out->length(), 0u);
    mmr->clearRanges(4);
    status = text(mmr->statusData());
    EXPECT_EQ(status.find("ranges.out"), std::string::npos) << status;

    EXPECT_EQ(reasonOf<MMR::UnknownPortException>([&] { MatrixManager::PortRangeList_var r = mmr->setRanges(5, MatrixManager::PortRangeList()); }),
              "output port 5 does not exist (outputs 1..4)");
    EXPECT_EQ(reasonOf<MMR::UnknownPortException>([&] { MatrixManager::PortRangeList_var r = mmr->setRanges(1, rangeList({{1, 0, 1}, {7, 0, 1}})); }),
              "input port of range 2: 7 does not exist (inputs 1..6)");
    EXPECT_FALSE(reasonOf<MMR::UnknownPortException>([&] { mmr->clearRanges(0); }).empty());
    // A refused list leaves the ranges as they were.
    status = text(mmr->statusData());
    EXPECT_EQ(status.find("ranges.out"), std::string::npos) << status;
}

TEST_F(MatrixServerTest, ConfiguredLimitations)
{
    start({"--no-ranges", "--not-initialised"});
    EXPECT_FALSE(mmr->init());
    EXPECT_EQ(reasonOf<MMR::RangesNotSupported>([&] { MatrixManager::PortRangeList_var r = mmr->setRanges(1, rangeList({{1, 0, 1}})); }),
              "this matrix does not support ranges");
    EXPECT_EQ(reasonOf<MMR::RangesNotSupported>([&] { mmr->clearRanges(1); }), "this matrix does not support ranges");
    EXPECT_FALSE(reasonOf<MMR::ConnectionFailureException>([&] { mmr->connect(1, 1); }).empty());
    EXPECT_FALSE(reasonOf<MMR::DisconnectionFailureException>([&] { mmr->disconnect(1, 1); }).empty());
    EXPECT_NE(text(mmr->statusData()).find("init=false ranges=unsupported"), std::string::npos);
}

TEST_F(MatrixServerTest, InjectedFaultsKeepTheirReason)
{
    ASSERT_TRUE(server->command("fault raise connect ConnectionFailureException relay 3 stuck"));
    EXPECT_EQ(reasonOf<MMR::ConnectionFailureException>([&] { mmr->connect(1, 1); }), "relay 3 stuck");
    ASSERT_TRUE(server->command("fault raise connect UnknownPortException"));
    EXPECT_EQ(reasonOf<MMR::UnknownPortException>([&] { mmr->connect(1, 1); }), "");
    // Not declared by disconnect: the caller sees UNKNOWN.
    ASSERT_TRUE(server->command("fault raise disconnect ConnectedException x"));
    EXPECT_THROW(mmr->disconnect(1, 1), CORBA::UNKNOWN);
    ASSERT_TRUE(server->command("fault clear"));
    mmr->connect(1, 1);
    EXPECT_EQ(text(mmr->connectionData()), "out 1 <- in 1");

    // Faults can fail a checked narrow, too.
    ASSERT_TRUE(server->command("fault raise _is_a TRANSIENT"));
    CORBA::Object_var obj = clientOrb()->string_to_object(server->corbaloc().toLatin1().constData());
    EXPECT_THROW(MMR::_narrow(obj), CORBA::TRANSIENT);
}

TEST_F(MatrixServerTest, NarrowsOnlyToItsOwnInterface)
{
    CORBA::Object_var obj = clientOrb()->string_to_object(server->corbaloc().toLatin1().constData());
    EXPECT_TRUE(CORBA::is_nil(CCO::IF_CCO_c_var(CCO::IF_CCO_c::_narrow(obj))));
    EXPECT_TRUE(obj->_is_a("IDL:MatrixManager/IF_MMR_c:1.0"));

    auto cco = testsupport::startCcoServer();
    ASSERT_TRUE(cco->ready());
    obj = clientOrb()->string_to_object(cco->corbaloc().toLatin1().constData());
    EXPECT_TRUE(CORBA::is_nil(MMR::_narrow(obj)));
}

namespace
{
const char *const registeredName = "CCO/LocalSystem/LocalSubSystem/Workstations/wsM/AntennaMatrixManager3/IF_MMR_c";

// The matrix manager as the CCO hands it out, or nil.
MMR::_ptr_type resolveAtCco(const QString &ccoLocation)
{
    try {
        CCO::IF_CCO_c_var cco = narrowTo<CCO::IF_CCO_c>(ccoLocation.toStdString());
        CORBA::Object_var obj = cco->Resolve(registeredName, CCO::RM_Default);
        return MMR::_narrow(obj);
    } catch (const CORBA::Exception &) {
        return MMR::_nil();
    }
}
}

TEST(MatrixRegistration, FollowsTheCcoThroughRestarts)
{
    const QString ccoPort = QString::number(testsupport::freeLoopbackPort());
    const QString ccoLocation = QStringLiteral("corbaloc::127.0.0.1:%1/CCO").arg(ccoPort);
    const QStringList matrixArgs{"--workstation", "wsM", "--id", "3", "--retry-interval", "50", "--check-interval",
                                 "100"};

    // The matrix manager comes first and waits for the CCO.
    auto matrix = testsupport::startMatrixServer(ccoLocation, matrixArgs);
    ASSERT_TRUE(matrix->ready()) << matrix->errorText().toStdString();
    EXPECT_GE(matrix->waitForLine("CCO not reachable", 2000), 0);
    auto cco = testsupport::startCcoServer({"--port", ccoPort, "--workstation", "ccoHost"});
    ASSERT_TRUE(cco->ready());
    ASSERT_GE(matrix->waitForLine("REGISTERED", 3000), 0);

    MMR::_var_type mmr = resolveAtCco(ccoLocation);
    ASSERT_FALSE(CORBA::is_nil(mmr));
    mmr->connect(1, 2);
    EXPECT_EQ(text(mmr->connectionData()), "out 2 <- in 1");

    // A CCO that comes back without its registrations gets it again.
    const int mark = matrix->lineCount();
    cco->kill();
    cco = testsupport::startCcoServer({"--port", ccoPort});
    ASSERT_TRUE(cco->ready());
    ASSERT_GE(matrix->waitForLine("REGISTERED", 3000, mark), 0);
    EXPECT_TRUE(testsupport::waitUntil([&] { return !CORBA::is_nil(MMR::_var_type(resolveAtCco(ccoLocation))); },
                                       3000));

    // A new matrix manager under the same name takes the name over; the old
    // one's exit does not remove the new one's registration.
    auto second = testsupport::startMatrixServer(ccoLocation, matrixArgs);
    ASSERT_TRUE(second->ready());
    ASSERT_GE(second->waitForLine("REGISTERED", 3000), 0);
    EXPECT_TRUE(testsupport::waitUntil(
        [&] {
            MMR::_var_type now = resolveAtCco(ccoLocation);
            return !CORBA::is_nil(now) && text(now->connectionData()).empty();
        },
        3000));
    // (The first one would take it back on its next check; it leaves now.)
    EXPECT_EQ(matrix->stop(), 0);
    EXPECT_EQ(matrix->countLines("UNREGISTERED"), 0);
    MMR::_var_type now = resolveAtCco(ccoLocation);
    ASSERT_FALSE(CORBA::is_nil(now));

    // On a clean exit the matrix manager removes its name.
    EXPECT_EQ(second->stop(), 0);
    EXPECT_EQ(second->countLines("UNREGISTERED"), 1);
    now = resolveAtCco(ccoLocation);
    EXPECT_TRUE(CORBA::is_nil(now));
}

TEST(MatrixServerProgram, CommandLine)
{
    QProcess help;
    help.start(testsupport::matrixServerPath(), {"--help"});
    ASSERT_TRUE(help.waitForFinished(5000));
    EXPECT_EQ(help.exitCode(), 0);
    const QString usage = QString::fromLocal8Bit(help.readAllStandardOutput());
    for (const char *option : {"--port", "--cco", "--workstation", "--id", "--inputs", "--outputs", "--no-ranges",
                               "--fault", "--host"})
        EXPECT_TRUE(usage.contains(option)) << option;

    for (const QStringList &bad : {QStringList{"--inputs", "0"}, QStringList{"--id", "-1"},
                                   QStringList{"--cco", "nonsense"}, QStringList{"--outputs", "x"},
                                   QStringList{"--workstation", "a/b"}}) {
        QProcess p;
        p.start(testsupport::matrixServerPath(), bad);
        ASSERT_TRUE(p.waitForFinished(5000));
        EXPECT_EQ(p.exitCode(), 2) << bad.join(' ').toStdString();
        const QString err = QString::fromLocal8Bit(p.readAllStandardError()).trimmed();
        EXPECT_TRUE(err.startsWith("matrix-server: ")) << err.toStdString();
        EXPECT_EQ(err.count('\n'), 0);
    }
}
