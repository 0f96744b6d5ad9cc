// cco-server and matrix-server over IIOP: naming semantics, narrowing,
// enumeration ordinals out of range in crafted GIOP requests (no stub can send
// them), switching and ranges, exceptions with their reasons, the matrix
// manager's registration through CCO restarts, and the command lines.
#include "giop.h"
#include "servicescco.h"
#include "waituntil.h"

#include <cco.hh>
#include <matrixmanager.hh>

#include <QProcess>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>

using ccoclient::clientOrb;
using ccoclient::narrowTo;
using ccoclient::strings;
using ccoclient::Strings;
using ccoclient::values;
using NC = CosNaming::NamingContext;
using Naming = CCO::IF_CCO_c_Naming;
using MMR = MatrixManager::IF_MMR_c;
using ServerPrograms = testsupport::CcoServerFixture;
using GiopWire = testsupport::CcoServerFixture;

namespace
{
std::string text(char *s)
{
    return CORBA::String_var(s).in();
}

// The reason of the exception `call` raised, or what happened instead.
template <typename Exception, typename Call> std::string reasonOf(Call &&call)
{
    try {
        call();
    } catch (const Exception &e) {
        return e.reason.in();
    } catch (const CORBA::Exception &e) {
        return e._name();
    }
    return "no exception";
}

const std::string ws1 = "CCO/LocalSystem/SubSystems/SubA/Workstations/ws1";

class CcoServerTest : public testsupport::CcoServerFixture
{
protected:
    void SetUp() override
    {
        startCco({"--workstation", "ws1", "--subsystem", "SubA", "--subsystems", "SubA,SubB", "--system", "Sys"});
    }
    Strings resolve(const std::string &name) { return ccoclient::resolve(cco, name); }
    void bind(const std::string &name, const Strings &v = {"x"})
    {
        cco->RegisterValues(name.c_str(), values(v), CCO::RT_Single);
    }
    void unbind(const std::string &name) { cco->UnregisterValues(name.c_str(), CCO::RT_Single); }
};

class MatrixServerTest : public ::testing::Test
{
protected:
    void SetUp() override { start({}); }
    void start(const QStringList &args)
    {
        server = testsupport::startMatrixServer(QString(), QStringList {"--inputs", "6", "--outputs", "4"} + args);
        ASSERT_TRUE(server->ready()) << server->errorText().toStdString();
        mmr = narrowTo<MMR>(server->corbaloc());
        ASSERT_FALSE(CORBA::is_nil(mmr));
    }
    CORBA::ULong setRanges(CORBA::UShort output, std::vector<MatrixManager::PortRange> items)
    {
        MatrixManager::PortRangeList list(CORBA::ULong(items.size()), CORBA::ULong(items.size()), items.data());
        return MatrixManager::PortRangeList_var(mmr->setRanges(output, list))->length();
    }

    std::unique_ptr<testsupport::ServerProcess> server;
    MMR::_var_type mmr;
};
}

TEST_F(CcoServerTest, AliasesAndRelativeNamesReachTheSameBinding)
{
    bind("CCO/LocalSystem/LocalSubSystem/LocalHost/Dev/1", {"a", "b"});
    for (const char *name : {"Dev/1", "/Dev/1", "CCO/LocalSystem/SubSystems/SubA/Workstations/ws1/Dev/1",
             "/CCO/Sys/LocalSubSystem/Workstations/ws1/Dev/1", "CCO/LocalSystem/SubSystems/SubA/LocalHost/Dev/1"})
        EXPECT_EQ(resolve(name), (Strings {"a", "b"})) << name;
    // LocalHost is an alias in the own subsystem only.
    bind("CCO/LocalSystem/SubSystems/SubB/LocalHost/Dev/1", {"b"});
    EXPECT_EQ(resolve(ws1 + "/Dev/1"), (Strings {"a", "b"}));
    EXPECT_THROW(bind("Dev/1"), NC::AlreadyBound);
}

TEST_F(CcoServerTest, ListingsEmptyListsAndNotFound)
{
    // A configured subsystem exists from the start, names below it do not.
    EXPECT_EQ(resolve("CCO/LocalSystem/SubSystems/SubB/CentralServices"), Strings {});
    const std::string cat = "CCO/LocalSystem/SubSystems/SubB/CentralServices/Receiver/PulseAnalysis";
    EXPECT_THROW(resolve(cat), NC::NotFound);

    // Children in first-bound order; the unbound vanish, and come first again when re-bound.
    for (const char *child : {"/zeta", "/alpha", "/mid/deeper"})
        bind(cat + child);
    EXPECT_EQ(resolve(cat), (Strings {"zeta", "alpha", "mid"}));
    unbind(cat + "/zeta");
    EXPECT_EQ(resolve(cat), (Strings {"alpha", "mid"}));
    bind(cat + "/zeta");
    unbind(cat + "/mid/deeper");
    EXPECT_EQ(resolve(cat), (Strings {"zeta", "alpha"}));
    EXPECT_EQ(resolve(cat + "/mid"), Strings {});

    // Empty strings and sequences travel as such; an empty sequence is a binding of its own.
    const Strings odd {"", "Empf\xe4nger"};
    bind(ws1 + "/Odd", odd);
    bind(ws1 + "/Empty", {});
    EXPECT_EQ(resolve(ws1 + "/Odd"), odd);
    EXPECT_EQ(resolve(ws1 + "/Empty"), Strings {});
    EXPECT_EQ(resolve(ws1), (Strings {"Odd", "Empty"}));
    EXPECT_THROW(bind(ws1 + "/Empty", {}), NC::AlreadyBound);
    unbind(ws1 + "/Empty");
    EXPECT_THROW(unbind(ws1 + "/Empty"), NC::NotFound);
}

TEST_F(CcoServerTest, InvalidNamesAndRedundancyTypesBindNothing)
{
    for (const char *name : {"", "/", "a//b", "a/", "//a", "CCO//x"}) {
        SCOPED_TRACE(name);
        EXPECT_THROW(bind(name), NC::InvalidName);
        EXPECT_THROW(resolve(name), NC::InvalidName);
        EXPECT_THROW(unbind(name), NC::InvalidName);
        EXPECT_THROW(CORBA::Object_var(cco->Resolve(name, CCO::RM_Default)), NC::InvalidName);
        EXPECT_THROW(cco->Register(name, cco, CCO::RT_Single), NC::InvalidName);
    }
    for (auto type : {CCO::RT_Primary, CCO::RT_Backup}) {
        EXPECT_THROW(cco->RegisterValues("Dev/1", values({"v"}), type), Naming::RedundancyTypeNotSupported);
        EXPECT_THROW(cco->UnregisterValues("Dev/1", type), Naming::RedundancyTypeNotSupported);
        EXPECT_THROW(cco->Register("Dev/1", cco, type), Naming::RedundancyTypeNotSupported);
        EXPECT_THROW(CORBA::Object_var(cco->Unregister("Dev/1", type)), Naming::RedundancyTypeNotSupported);
    }
    EXPECT_THROW(resolve("Dev/1"), NC::NotFound);
}

TEST_F(CcoServerTest, NarrowingFollowsTheInterfaceHierarchy)
{
    CORBA::Object_var obj = clientOrb()->string_to_object(server->corbaloc().toLatin1().constData());
    EXPECT_FALSE(CORBA::is_nil(CCO::IF_CCO_c_Update_var(CCO::IF_CCO_c_Update::_narrow(obj))));
    EXPECT_FALSE(CORBA::is_nil(CCO::IF_CCO_c_NamingCorba_var(CCO::IF_CCO_c_NamingCorba::_narrow(obj))));
    EXPECT_FALSE(CORBA::is_nil(CCO::IF_CCO_c_Naming_var(CCO::IF_CCO_c_Naming::_narrow(obj))));

    // An object with only the naming interface is no CCO.
    auto naming = testsupport::startCcoServer({"--naming-only"});
    ASSERT_TRUE(naming->ready());
    obj = clientOrb()->string_to_object(naming->corbaloc().toLatin1().constData());
    EXPECT_TRUE(CORBA::is_nil(CCO::IF_CCO_c_var(CCO::IF_CCO_c::_narrow(obj))));
    CCO::IF_CCO_c_NamingCorba_var nc = CCO::IF_CCO_c_NamingCorba::_narrow(obj);
    ASSERT_FALSE(CORBA::is_nil(nc));
    nc->RegisterValues("x", values({"1"}), CCO::RT_Single);
    EXPECT_EQ(strings(CCO::StringList_var(nc->ResolveValues("x", CCO::RM_Default)).in()), Strings {"1"});
}

TEST_F(ServerPrograms, CommandLinesStartFaultsAndSignals)
{
    // Bad arguments: a non-zero exit and one line of error naming the program.
    for (const QStringList &call : {QStringList {"cco-server", "--port", "70000"}, {"cco-server", "extra"},
             {"cco-server", "--fault", "raise X NoSuch"}, {"cco-server", "--host", "nohost"},
             {"cco-server", "-ORBtraceLevel"}, {"cco-server", "--orb-config", "/nonexistent/missing.cfg"},
             {"matrix-server", "--inputs", "0"}, {"matrix-server", "--cco", "nonsense"},
             {"matrix-server", "--workstation", "a/b"}}) {
        QProcess p;
        p.start(call[0] == "cco-server" ? testsupport::ccoServerPath() : testsupport::matrixServerPath(), call.mid(1));
        ASSERT_TRUE(p.waitForFinished(5000));
        const QString err = QString::fromLocal8Bit(p.readAllStandardError()).trimmed();
        EXPECT_NE(p.exitCode(), 0) << call.join(' ').toStdString();
        EXPECT_TRUE(err.startsWith(call[0] + ": ") && !err.contains('\n')) << err.toStdString();
    }

    ASSERT_NO_FATAL_FAILURE(startCco({"--host", "127.0.0.2", "--fault", "raise GetSystemName NameNotAvailable"}));
    EXPECT_THROW(CORBA::String_var(cco->GetSystemName()), CCO::IF_CCO_c::NameNotAvailable);

    QProcess busy;
    busy.start(testsupport::ccoServerPath(), {"--host", "127.0.0.2", "--port", QString::number(server->port())});
    ASSERT_TRUE(busy.waitForFinished(5000));
    EXPECT_EQ(busy.exitCode(), 1);
    EXPECT_TRUE(busy.readAllStandardError().contains("in use"));
    // SIGINT ends it cleanly, also with a call hanging.
    ASSERT_TRUE(server->command("fault hang *"));
    ::kill(server->pid(), SIGINT);
    EXPECT_GE(server->waitForLine("STOPPED", 5000), 0);
    EXPECT_EQ(server->stop(), 0);
}

TEST_F(GiopWire, EnumerationOrdinalsBeyondTheLastAreMarshalErrors)
{
    ASSERT_NO_FATAL_FAILURE(startCco());
    giop::RawConnection connection(server->port());
    ASSERT_TRUE(connection.ok());

    // Per enumeration an operation taking it, its last ordinal, and that call's reply status and exception.
    const struct
    {
        const char *op;
        std::uint32_t last;
        std::function<void(giop::Cdr &, std::uint32_t)> arguments;
        std::uint32_t status;
        const char *exception;
    } cases[] = {
        {"ResolveValues", 3, [](giop::Cdr &c, std::uint32_t mode) { c.string("CCO"), c.ulong(mode); }, 0, ""},
        {"RegisterValues", 2, [](giop::Cdr &c, std::uint32_t type) { c.string("Dev/1"), c.ulong(0), c.ulong(type); }, 1,
            "IDL:CCO/IF_CCO_c_Naming/RedundancyTypeNotSupported:1.0"},
        // A nil callback (no type id, no profiles) with one entry: the servant refuses the nil one.
        {"register_callback", 4,
            [](giop::Cdr &c, std::uint32_t kind) { c.string(""), c.ulong(0), c.ulong(1), c.ulong(kind), c.string("Dev"); }, 2,
            "IDL:omg.org/CORBA/BAD_PARAM:1.0"},
    };
    for (const auto &c : cases) {
        for (const std::uint32_t ordinal : {c.last + 1, 0xffffffffu, c.last}) {
            SCOPED_TRACE(std::string(c.op) + " " + std::to_string(ordinal));
            ASSERT_TRUE(connection.send(giop::request(1, "CCO", c.op, [&](giop::Cdr &cdr) { c.arguments(cdr, ordinal); })));
            bool closed = false;
            const giop::Bytes bytes = connection.receive(3000, &closed, true);
            const std::string reply(bytes.begin(), bytes.end());
            EXPECT_EQ(giop::ulongAt(bytes, 16), ordinal == c.last ? c.status : 2u);
            EXPECT_NE(reply.find(ordinal == c.last ? c.exception : "IDL:omg.org/CORBA/MARSHAL:1.0"), std::string::npos);
        }
        // The servant saw the valid call only: a bad one would have been logged before it.
        EXPECT_GE(server->waitForLine(QStringLiteral("CALL ") + c.op, 2000), 0);
        EXPECT_EQ(server->countLines(QStringLiteral("CALL ") + c.op), 1) << c.op;
    }
}

TEST_F(MatrixServerTest, SwitchesLikeAMatrixAndRaisesDeclaredExceptionsWithTheirReason)
{
    EXPECT_TRUE(mmr->init());
    EXPECT_EQ(mmr->GetMaxInputPorts(), 6);
    EXPECT_EQ(mmr->GetMaxOutputPorts(), 4);
    mmr->connect(2, 3);
    mmr->connect(2, 4); // one antenna may feed several receivers
    mmr->connect(6, 1);
    EXPECT_EQ(text(mmr->connectionData()), "out 1 <- in 6; out 3 <- in 2; out 4 <- in 2");
    EXPECT_EQ(
        reasonOf<MMR::ConnectedException>([&] { mmr->connect(2, 3); }), "input 2 is already connected to output 3");
    EXPECT_EQ(reasonOf<MMR::ConnectedException>([&] { mmr->connect(5, 3); }), "output 3 is taken by input 2");
    EXPECT_EQ(reasonOf<MMR::NotConnectedException>([&] { mmr->disconnect(5, 3); }),
        "input 5 is not connected to output 3 (input 2 is)");
    EXPECT_EQ(reasonOf<MMR::NotConnectedException>([&] { mmr->disconnect(5, 2); }), "output 2 is not connected");
    // Any other exception gives a text as well; only an unknown port's names the port.
    const auto unknown = [](const std::string &reason) { return reason.find(" does not exist") != std::string::npos; };
    for (auto ports : {std::pair<int, int> {0, 1}, {7, 1}, {1, 0}, {1, 5}, {65535, 65535}}) {
        EXPECT_TRUE(unknown(reasonOf<MMR::UnknownPortException>([&] { mmr->connect(ports.first, ports.second); })));
        EXPECT_TRUE(unknown(reasonOf<MMR::UnknownPortException>([&] { mmr->disconnect(ports.first, ports.second); })));
    }
    mmr->disconnect(2, 3);
    mmr->connect(5, 3);
    EXPECT_EQ(text(mmr->connectionData()), "out 1 <- in 6; out 3 <- in 5; out 4 <- in 2");
    mmr->reset();
    EXPECT_NE(
        text(mmr->statusData()).find("inputs=6 outputs=4 init=true ranges=supported connections=0"), std::string::npos);

    // Injected: a declared exception keeps its reason, also an empty one; an undeclared one is UNKNOWN.
    ASSERT_TRUE(server->command("fault raise connect ConnectionFailureException relay 3 stuck"));
    EXPECT_EQ(reasonOf<MMR::ConnectionFailureException>([&] { mmr->connect(1, 1); }), "relay 3 stuck");
    ASSERT_TRUE(server->command("fault raise connect UnknownPortException"));
    EXPECT_EQ(reasonOf<MMR::UnknownPortException>([&] { mmr->connect(1, 1); }), "");
    ASSERT_TRUE(server->command("fault raise disconnect ConnectedException x"));
    EXPECT_THROW(mmr->disconnect(1, 1), CORBA::UNKNOWN);
}

TEST_F(MatrixServerTest, RangesPerOutputAndConfiguredLimitations)
{
    EXPECT_EQ(setRanges(2, {{5, 100, 200}, {6, -5, 5}, {5, 300, 250}}), 3u);
    setRanges(4, {{1, -9000000000LL, 9000000000LL}});
    EXPECT_NE(
        text(mmr->statusData()).find("ranges.out2=5:100:200,6:-5:5,5:300:250 ranges.out4=1:-9000000000:9000000000"),
        std::string::npos);
    EXPECT_EQ(setRanges(2, {}), 0u); // an empty list clears the output's ranges
    mmr->clearRanges(4);
    EXPECT_EQ(
        reasonOf<MMR::UnknownPortException>([&] { setRanges(5, {}); }), "output port 5 does not exist (outputs 1..4)");
    EXPECT_EQ(reasonOf<MMR::UnknownPortException>([&] { setRanges(1, {{1, 0, 1}, {7, 0, 1}}); }),
        "input port of range 2: 7 does not exist (inputs 1..6)");
    EXPECT_EQ(text(mmr->statusData()).find("ranges.out"), std::string::npos); // nothing left, nothing half-set

    start({"--no-ranges", "--not-initialised"});
    EXPECT_FALSE(mmr->init());
    const std::string noRanges = "this matrix does not support ranges";
    EXPECT_EQ(reasonOf<MMR::RangesNotSupported>([&] { setRanges(1, {{1, 0, 1}}); }), noRanges);
    EXPECT_EQ(reasonOf<MMR::RangesNotSupported>([&] { mmr->clearRanges(1); }), noRanges);
    EXPECT_NE(reasonOf<MMR::ConnectionFailureException>([&] { mmr->connect(1, 1); }), "");
}

TEST(MatrixRegistration, FollowsTheCcoThroughRestartsAndEndsWithTheProcess)
{
    const QString ccoPort = QString::number(testsupport::freeLoopbackPort());
    const QString ccoLocation = QStringLiteral("corbaloc::127.0.0.1:%1/CCO").arg(ccoPort);
    const QStringList args {"--workstation", "wsM", "--id", "3", "--retry-interval", "50", "--check-interval", "100"};
    // The connection data of the matrix manager the CCO hands out, or "-" for none.
    auto registered = [&] {
        try {
            CORBA::Object_var obj
                = CCO::IF_CCO_c_var(narrowTo<CCO::IF_CCO_c>(ccoLocation))
                      ->Resolve("CCO/LocalSystem/LocalSubSystem/Workstations/wsM/AntennaMatrixManager3/IF_MMR_c",
                          CCO::RM_Default);
            return text(MMR::_var_type(MMR::_narrow(obj))->connectionData());
        } catch (const CORBA::Exception &) {
            return std::string("-");
        }
    };

    // It comes first and waits for the CCO, registers again when the CCO comes back without its
    // registrations, and removes the name when it ends.
    auto matrix = testsupport::startMatrixServer(ccoLocation, args);
    EXPECT_GE(matrix->waitForLine("CCO not reachable", 2000), 0);
    auto cco = testsupport::startCcoServer({"--port", ccoPort});
    ASSERT_GE(matrix->waitForLine("REGISTERED", 3000), 0);
    MMR::_var_type(narrowTo<MMR>(matrix->corbaloc()))->connect(1, 2);
    EXPECT_EQ(registered(), "out 2 <- in 1");
    cco->kill();
    cco = testsupport::startCcoServer({"--port", ccoPort});
    EXPECT_TRUE(testsupport::waitUntil([&] { return registered() == "out 2 <- in 1"; }, 3000));
    EXPECT_EQ(matrix->stop(), 0);
    EXPECT_EQ(registered(), "-");

    // A newer one takes the name over, and the older one's exit leaves it alone. (Neither checks
    // again here, or the older one would take the name back.)
    const QStringList rarely = args + QStringList {"--check-interval", "600000"};
    auto older = testsupport::startMatrixServer(ccoLocation, rarely);
    ASSERT_GE(older->waitForLine("REGISTERED", 3000), 0);
    MMR::_var_type(narrowTo<MMR>(older->corbaloc()))->connect(1, 2);
    auto newer = testsupport::startMatrixServer(ccoLocation, rarely);
    ASSERT_GE(newer->waitForLine("REGISTERED", 3000), 0);
    EXPECT_EQ(registered(), "");
    EXPECT_EQ(older->stop(), 0);
    EXPECT_EQ(registered(), "");
    EXPECT_EQ(newer->stop(), 0);
    EXPECT_EQ(registered(), "-");
}
