// cco-server over IIOP: naming semantics, the rest of IF_CCO_c, callbacks,
// the state file, fault injection and the program's command line.
#include "clientorb.h"
#include "serverprocess.h"
#include "waituntil.h"

#include <cco.hh>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>

using namespace servicetests;
using testsupport::ServerProcess;
using Strings = std::vector<std::string>;

namespace
{
Strings strings(const CCO::StringList &list)
{
    Strings out;
    for (CORBA::ULong i = 0; i < list.length(); ++i)
        out.push_back(list[i].in());
    return out;
}

CCO::StringList values(const Strings &items)
{
    CCO::StringList list;
    list.length(CORBA::ULong(items.size()));
    for (CORBA::ULong i = 0; i < list.length(); ++i)
        list[i] = CORBA::string_dup(items[i].c_str());
    return list;
}

const char *const ws1 = "CCO/LocalSystem/SubSystems/SubA/Workstations/ws1";

class CcoServerTest : public ::testing::Test
{
protected:
    void SetUp() override { start(); }

    void start(QStringList extra = {})
    {
        // Later options win, so `extra` can override these.
        const QStringList args = QStringList{"--workstation", "ws1", "--subsystem", "SubA", "--subsystems",
                                             "SubA,SubB", "--system", "Sys"} +
                                 extra;
        server = testsupport::startCcoServer(args);
        ASSERT_TRUE(server->ready()) << server->errorText().toStdString();
        cco = narrowTo<CCO::IF_CCO_c>(server->corbaloc().toStdString());
        ASSERT_FALSE(CORBA::is_nil(cco));
    }

    Strings resolve(const std::string &name)
    {
        CCO::StringList_var list = cco->ResolveValues(name.c_str(), CCO::RM_Default);
        return strings(list.in());
    }

    void bind(const std::string &name, const Strings &v = {"x"})
    {
        cco->RegisterValues(name.c_str(), values(v), CCO::RT_Single);
    }

    std::unique_ptr<ServerProcess> server;
    CCO::IF_CCO_c_var cco;
};
}

TEST_F(CcoServerTest, AliasesAndRelativeNamesReachTheSameBinding)
{
    bind("CCO/LocalSystem/LocalSubSystem/LocalHost/Dev/1", {"a", "b"});
    const Strings ab{"a", "b"};
    EXPECT_EQ(resolve(std::string(ws1) + "/Dev/1"), ab);
    EXPECT_EQ(resolve("Dev/1"), ab);
    EXPECT_EQ(resolve("/Dev/1"), ab);
    EXPECT_EQ(resolve("/CCO/Sys/LocalSubSystem/Workstations/ws1/Dev/1"), ab);
    EXPECT_EQ(resolve("CCO/LocalSystem/SubSystems/SubA/LocalHost/Dev/1"), ab);
    // LocalHost is an alias in the own subsystem only.
    bind("CCO/LocalSystem/SubSystems/SubB/LocalHost/Dev/1", {"b"});
    EXPECT_EQ(resolve("CCO/LocalSystem/SubSystems/SubB/LocalHost/Dev/1"), Strings{"b"});
    EXPECT_EQ(resolve(std::string(ws1) + "/Dev/1"), ab);
    // The same name registered twice, in any spelling.
    EXPECT_THROW(bind("Dev/1"), CosNaming::NamingContext::AlreadyBound);
}

TEST_F(CcoServerTest, ContextsListBoundChildrenInFirstBoundOrder)
{
    const std::string cat = "CCO/LocalSystem/SubSystems/SubB/CentralServices/Receiver/PulseAnalysis";
    bind(cat + "/zeta", {"h", "1", "2", "9000"});
    bind(cat + "/alpha", {"h2"});
    bind(cat + "/mid/deeper");
    EXPECT_EQ(resolve(cat), (Strings{"zeta", "alpha", "mid"}));

    cco->UnregisterValues((cat + "/zeta").c_str(), CCO::RT_Single);
    EXPECT_EQ(resolve(cat), (Strings{"alpha", "mid"}));
    // Re-bound, it takes its first place again.
    bind(cat + "/zeta");
    EXPECT_EQ(resolve(cat), (Strings{"zeta", "alpha", "mid"}));

    // Unbinding everything below a context hides it from its parent.
    cco->UnregisterValues((cat + "/mid/deeper").c_str(), CCO::RT_Single);
    EXPECT_EQ(resolve(cat), (Strings{"zeta", "alpha"}));
    EXPECT_EQ(resolve(cat + "/mid"), Strings{});
}

TEST_F(CcoServerTest, EmptyListVersusNotFound)
{
    // Configured subsystems and the own workstation exist from the start.
    EXPECT_EQ(resolve("CCO/LocalSystem/SubSystems/SubB/CentralServices"), Strings{});
    EXPECT_EQ(resolve(std::string(ws1) + "/Locate"), Strings{});
    try {
        resolve("CCO/LocalSystem/SubSystems/SubB/CentralServices/Receiver/PulseAnalysis");
        FAIL() << "NotFound expected";
    } catch (const CosNaming::NamingContext::NotFound &e) {
        ASSERT_EQ(e.rest_of_name.length(), 3u);
        EXPECT_STREQ(e.rest_of_name[0].id, "CentralServices");
        EXPECT_EQ(e.why, CosNaming::NamingContext::missing_node);
    }
    EXPECT_THROW(resolve("CCO/LocalSystem/SubSystems/Unknown/x"), CosNaming::NamingContext::NotFound);

    // A bound empty list is a binding: it is listed, and resolves as empty.
    bind(std::string(ws1) + "/Empty", {});
    EXPECT_EQ(resolve(std::string(ws1) + "/Empty"), Strings{});
    EXPECT_EQ(resolve(ws1), Strings{"Empty"});
    EXPECT_THROW(bind(std::string(ws1) + "/Empty", {}), CosNaming::NamingContext::AlreadyBound);
    cco->UnregisterValues((std::string(ws1) + "/Empty").c_str(), CCO::RT_Single);
    EXPECT_THROW(cco->UnregisterValues((std::string(ws1) + "/Empty").c_str(), CCO::RT_Single),
                 CosNaming::NamingContext::NotFound);
    EXPECT_THROW(cco->UnregisterValues("CCO/Nowhere/at/all", CCO::RT_Single), CosNaming::NamingContext::NotFound);
}

TEST_F(CcoServerTest, InvalidNamesAndRedundancyTypes)
{
    for (const char *name : {"", "/", "a//b", "a/", "//a", "CCO//x"}) {
        SCOPED_TRACE(name);
        EXPECT_THROW(bind(name), CosNaming::NamingContext::InvalidName);
        EXPECT_THROW(resolve(name), CosNaming::NamingContext::InvalidName);
        EXPECT_THROW(cco->UnregisterValues(name, CCO::RT_Single), CosNaming::NamingContext::InvalidName);
        EXPECT_THROW(CORBA::Object_var(cco->Resolve(name, CCO::RM_Default)), CosNaming::NamingContext::InvalidName);
        EXPECT_THROW(cco->Register(name, cco, CCO::RT_Single), CosNaming::NamingContext::InvalidName);
    }
    for (auto type : {CCO::RT_Primary, CCO::RT_Backup}) {
        EXPECT_THROW(cco->RegisterValues("Dev/1", values({"v"}), type), CCO::IF_CCO_c_Naming::RedundancyTypeNotSupported);
        EXPECT_THROW(cco->UnregisterValues("Dev/1", type), CCO::IF_CCO_c_Naming::RedundancyTypeNotSupported);
        EXPECT_THROW(cco->Register("Dev/1", cco, type), CCO::IF_CCO_c_Naming::RedundancyTypeNotSupported);
        EXPECT_THROW(CORBA::Object_var(cco->Unregister("Dev/1", type)),
                     CCO::IF_CCO_c_Naming::RedundancyTypeNotSupported);
    }
    // Nothing was bound by the refused calls.
    EXPECT_THROW(resolve("Dev/1"), CosNaming::NamingContext::NotFound);
    EXPECT_EQ(resolve("Dev"), Strings{});
}

TEST_F(CcoServerTest, ObjectsBindBesideStrings)
{
    const std::string name = std::string(ws1) + "/AntennaMatrixManager1/IF_MMR_c";
    EXPECT_THROW(CORBA::Object_var(cco->Resolve(name.c_str(), CCO::RM_Default)), CosNaming::NamingContext::NotFound);
    EXPECT_THROW(cco->Register(name.c_str(), CORBA::Object::_nil(), CCO::RT_Single),
                 CCO::IF_CCO_c_Naming::InvalidObject);
    cco->Register("CCO/LocalSystem/LocalSubSystem/LocalHost/AntennaMatrixManager1/IF_MMR_c", cco, CCO::RT_Single);
    EXPECT_THROW(cco->Register(name.c_str(), cco, CCO::RT_Single), CosNaming::NamingContext::AlreadyBound);

    CORBA::Object_var obj = cco->Resolve(name.c_str(), CCO::RM_Default);
    EXPECT_TRUE(obj->_is_equivalent(cco));
    CCO::IF_CCO_c_var again = CCO::IF_CCO_c::_narrow(obj);
    ASSERT_FALSE(CORBA::is_nil(again));
    CORBA::String_var ws = again->GetWorkstationName();
    EXPECT_STREQ(ws.in(), "ws1");
    EXPECT_EQ(resolve(std::string(ws1) + "/AntennaMatrixManager1"), Strings{"IF_MMR_c"});

    // Strings under a name are not an object.
    bind(std::string(ws1) + "/Values");
    EXPECT_THROW(CORBA::Object_var(cco->Resolve((std::string(ws1) + "/Values").c_str(), CCO::RM_Default)),
                 CCO::IF_CCO_c_Naming::InvalidType);

    CORBA::Object_var removed = cco->Unregister(name.c_str(), CCO::RT_Single);
    EXPECT_TRUE(removed->_is_equivalent(cco));
    EXPECT_THROW(CORBA::Object_var(cco->Unregister(name.c_str(), CCO::RT_Single)),
                 CosNaming::NamingContext::NotFound);
}

TEST_F(CcoServerTest, StringsRoundTripByteForByte)
{
    // Empty sequences, empty strings, Latin-1 bytes and long lists.
    bind("Dev/empty", {});
    EXPECT_TRUE(resolve("Dev/empty").empty());
    const Strings odd{"", "Empf\xe4nger", std::string(1000, 'x'), "a b/c"};
    bind("Dev/odd", odd);
    EXPECT_EQ(resolve("Dev/odd"), odd);
    Strings many;
    for (int i = 0; i < 500; ++i)
        many.push_back(std::to_string(i));
    bind("Dev/many", many);
    EXPECT_EQ(resolve("Dev/many"), many);
}

TEST_F(CcoServerTest, NamesSubsystemsAndWorkstations)
{
    CORBA::String_var s = cco->GetSystemName();
    EXPECT_STREQ(s.in(), "Sys");
    s = cco->GetSubSystemName();
    EXPECT_STREQ(s.in(), "SubA");
    s = cco->GetWorkstationName();
    EXPECT_STREQ(s.in(), "ws1");
    CCO::StringList_var list = cco->GetSubSystems();
    EXPECT_EQ(strings(list.in()), (Strings{"SubA", "SubB"}));
    bind("CCO/LocalSystem/SubSystems/SubA/Workstations/ws7/Thing");
    list = cco->GetWorkstations("SubA");
    EXPECT_EQ(strings(list.in()), (Strings{"ws1", "ws7"}));
    list = cco->GetWorkStationsFromCCOConfig("SubA");
    EXPECT_EQ(strings(list.in()), Strings{"ws1"});

    EXPECT_FALSE(cco->CheckIndication("ws7"));
    cco->StartupIndication("ws7");
    EXPECT_TRUE(cco->CheckIndication("ws7"));
    EXPECT_TRUE(cco->IsWorkstationIndicated("SubA", "ws7"));
    EXPECT_FALSE(cco->IsWorkstationIndicated("Elsewhere", "ws7"));
    cco->ShutdownIndication("ws7");
    EXPECT_FALSE(cco->CheckIndication("ws7"));
    EXPECT_THROW(cco->IsRemoteCCOIndicated(""), CCO::IF_CCO_c::NameNotAvailable);
    cco->CentralServicesIndication("ws9");
    EXPECT_TRUE(cco->IsRemoteCCOIndicated("ws9"));
}

TEST_F(CcoServerTest, UnconfiguredNamesAreNotAvailable)
{
    start({"--system", "", "--subsystems", ""});
    EXPECT_THROW(CORBA::String_var(cco->GetSystemName()), CCO::IF_CCO_c::NameNotAvailable);
    CCO::StringList_var list = cco->GetSubSystems();
    EXPECT_EQ(list->length(), 0u);
}

TEST_F(CcoServerTest, NarrowingFollowsTheInterfaceHierarchy)
{
    CORBA::Object_var obj = clientOrb()->string_to_object(server->corbaloc().toLatin1().constData());
    EXPECT_FALSE(CORBA::is_nil(CCO::IF_CCO_c_Update_var(CCO::IF_CCO_c_Update::_narrow(obj))));
    EXPECT_FALSE(CORBA::is_nil(CCO::IF_CCO_c_NamingCorba_var(CCO::IF_CCO_c_NamingCorba::_narrow(obj))));
    EXPECT_FALSE(CORBA::is_nil(CCO::IF_CCO_c_Naming_var(CCO::IF_CCO_c_Naming::_narrow(obj))));
    EXPECT_TRUE(CORBA::is_nil(CCO::Callback_var(CCO::Callback::_narrow(obj))));
    EXPECT_TRUE(obj->_is_a("IDL:omg.org/CORBA/Object:1.0"));
    EXPECT_FALSE(obj->_is_a("IDL:MatrixManager/IF_MMR_c:1.0"));

    // An object that offers only the naming interface is no CCO.
    auto naming = testsupport::startCcoServer({"--naming-only"});
    ASSERT_TRUE(naming->ready());
    obj = clientOrb()->string_to_object(naming->corbaloc().toLatin1().constData());
    EXPECT_TRUE(CORBA::is_nil(CCO::IF_CCO_c_var(CCO::IF_CCO_c::_narrow(obj))));
    EXPECT_TRUE(CORBA::is_nil(CCO::IF_CCO_c_Update_var(CCO::IF_CCO_c_Update::_narrow(obj))));
    CCO::IF_CCO_c_NamingCorba_var nc = CCO::IF_CCO_c_NamingCorba::_narrow(obj);
    ASSERT_FALSE(CORBA::is_nil(nc));
    EXPECT_FALSE(CORBA::is_nil(CCO::IF_CCO_c_Naming_var(CCO::IF_CCO_c_Naming::_narrow(obj))));
    nc->RegisterValues("x", values({"1"}), CCO::RT_Single);
    CCO::StringList_var list = nc->ResolveValues("x", CCO::RM_Default);
    EXPECT_EQ(strings(list.in()), Strings{"1"});
}

TEST_F(CcoServerTest, InjectedExceptionsArriveAsDeclaredOrAsUnknown)
{
    ASSERT_TRUE(server->command("fault raise ResolveValues NotFound"));
    EXPECT_THROW(resolve("CCO"), CosNaming::NamingContext::NotFound);
    // Declared by Resolve, not by ResolveValues: the caller sees UNKNOWN.
    ASSERT_TRUE(server->command("fault raise ResolveValues InvalidType"));
    EXPECT_THROW(resolve("CCO"), CORBA::UNKNOWN);
    ASSERT_TRUE(server->command("fault raise Resolve InvalidType"));
    EXPECT_THROW(CORBA::Object_var(cco->Resolve("x", CCO::RM_Default)), CCO::IF_CCO_c_Naming::InvalidType);
    ASSERT_TRUE(server->command("fault raise GetSubSystems TRANSIENT"));
    EXPECT_THROW(CCO::StringList_var(cco->GetSubSystems()), CORBA::TRANSIENT);

    // A fault for one name leaves the others alone.
    ASSERT_TRUE(server->command("fault clear"));
    ASSERT_TRUE(server->command("fault raise ResolveValues@Dev/a InvalidName"));
    EXPECT_THROW(resolve("Dev/a"), CosNaming::NamingContext::InvalidName);
    EXPECT_THROW(resolve("Dev/b"), CosNaming::NamingContext::NotFound);
    EXPECT_GE(server->waitForLine("CALL ResolveValues Dev/a -> injected InvalidName", 1000), 0);

    EXPECT_FALSE(server->command("fault raise ResolveValues NoSuchThing"));
    EXPECT_FALSE(server->command("fault wobble x"));
}

TEST_F(CcoServerTest, DelayedAndHungCallsAreReleasedByClear)
{
    using Clock = std::chrono::steady_clock;
    ASSERT_TRUE(server->command("fault delay GetSystemName 300"));
    auto start = Clock::now();
    CORBA::String_var s = cco->GetSystemName();
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(290));

    ASSERT_TRUE(server->command("fault hang GetSubSystemName"));
    std::atomic<bool> done{false};
    std::thread caller([&] {
        CORBA::String_var sub = cco->GetSubSystemName();
        done = true;
    });
    const int hung = server->waitForLine("fault hang", 1000);
    EXPECT_GE(hung, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the call must still hang now
    EXPECT_FALSE(done.load());
    ASSERT_TRUE(server->command("fault clear GetSubSystemName"));
    caller.join();
    EXPECT_TRUE(done.load());
}

TEST_F(CcoServerTest, StateFileKeepsRegistrationsAcrossRestarts)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("cco.json");
    // An explicit port: a listener on a port the system picked cannot be
    // taken over while connections to it linger.
    const QString port = QString::number(testsupport::freeLoopbackPort());
    start({"--state-file", file, "--port", port});
    bind("Dev/1", {"a", "\xe4"});
    bind("Dev/0", {});
    cco->Register("Obj/IF", cco, CCO::RT_Single);
    bind("Gone/1");
    cco->UnregisterValues("Gone/1", CCO::RT_Single);
    EXPECT_EQ(server->stop(), 0);

    start({"--state-file", file, "--port", port});
    EXPECT_EQ(resolve("Dev"), (Strings{"1", "0"}));
    EXPECT_EQ(resolve("Dev/1"), (Strings{"a", "\xe4"}));
    EXPECT_EQ(resolve("Gone/1"), Strings{}); // the context stayed, the binding did not
    CORBA::Object_var obj = cco->Resolve("Obj/IF", CCO::RM_Default);
    EXPECT_TRUE(obj->_is_equivalent(cco));
}

namespace
{
class Recorder : public POA_CCO::Callback
{
public:
    void notify(CCO::NotificationKind kind, const char *name) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        seen.emplace_back(kind, name);
    }
    std::vector<std::pair<CCO::NotificationKind, std::string>> events()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }

private:
    std::mutex mutex;
    std::vector<std::pair<CCO::NotificationKind, std::string>> seen;
};
}

TEST_F(CcoServerTest, CallbacksHearOfChangesBelowTheirNames)
{
    CORBA::Object_var poaObj = clientOrb()->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(poaObj);
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();
    Recorder recorder;
    PortableServer::ObjectId_var id = poa->activate_object(&recorder);
    CORBA::Object_var ref = poa->id_to_reference(id);
    CCO::Callback_var cb = CCO::Callback::_narrow(ref);

    CCO::CallbackEntryList entries;
    entries.length(2);
    entries[0].kind = CCO::NK_Registered;
    entries[0].name = CORBA::string_dup("Dev");
    entries[1].kind = CCO::NK_Startup;
    entries[1].name = CORBA::string_dup("");
    CCO::CBRegistration_var registration = cco->register_callback(cb, entries);

    bind("Other/1");
    bind("Dev/1");
    cco->StartupIndication("ws5");
    EXPECT_TRUE(testsupport::waitUntil([&] { return recorder.events().size() >= 2; }, 2000));
    const auto events = recorder.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].first, CCO::NK_Registered);
    EXPECT_EQ(events[0].second, std::string(ws1) + "/Dev/1");
    EXPECT_EQ(events[1], std::make_pair(CCO::NK_Startup, std::string("ws5")));

    registration->unregister();
    bind("Dev/2");
    // Once the line of Dev/2 arrived, any notify line before it has, too.
    EXPECT_GE(server->waitForLine("CALL RegisterValues Dev/2", 1000), 0);
    EXPECT_EQ(server->countLines("CALL notify"), 2);
    EXPECT_EQ(recorder.events().size(), 2u);
    EXPECT_THROW(registration->unregister(), CORBA::OBJECT_NOT_EXIST);
    poa->deactivate_object(id);
}

TEST(CcoServerProgram, FaultsAndAddressFromTheCommandLine)
{
    auto server = testsupport::startCcoServer(
        {"--host", "127.0.0.2", "--fault", "raise GetSystemName NameNotAvailable", "--fault", "delay GetSubSystems 200"});
    ASSERT_TRUE(server->ready()) << server->errorText().toStdString();
    EXPECT_TRUE(server->corbaloc().startsWith("corbaloc::127.0.0.2:"));
    CCO::IF_CCO_c_var cco = narrowTo<CCO::IF_CCO_c>(server->corbaloc().toStdString());
    ASSERT_FALSE(CORBA::is_nil(cco));
    EXPECT_THROW(CORBA::String_var(cco->GetSystemName()), CCO::IF_CCO_c::NameNotAvailable);
    const auto start = std::chrono::steady_clock::now();
    CCO::StringList_var list = cco->GetSubSystems();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
    EXPECT_EQ(server->stop(), 0);
}

TEST(CcoServerProgram, CommandLine)
{
    QProcess help;
    help.start(testsupport::ccoServerPath(), {"--help"});
    ASSERT_TRUE(help.waitForFinished(5000));
    EXPECT_EQ(help.exitCode(), 0);
    const QString text = QString::fromLocal8Bit(help.readAllStandardOutput());
    for (const char *option : {"--port", "--host", "--system", "--subsystem", "--workstation", "--subsystems",
                               "--state-file", "--fault", "--naming-only"})
        EXPECT_TRUE(text.contains(option)) << option;

    for (const QStringList &bad : {QStringList{"--port", "x"}, QStringList{"--port", "70000"},
                                   QStringList{"--bogus"}, QStringList{"extra"},
                                   QStringList{"--fault", "raise X NoSuch"}, QStringList{"--host", "nohost"}}) {
        QProcess p;
        p.start(testsupport::ccoServerPath(), bad);
        ASSERT_TRUE(p.waitForFinished(5000));
        EXPECT_NE(p.exitCode(), 0) << bad.join(' ').toStdString();
        const QString err = QString::fromLocal8Bit(p.readAllStandardError()).trimmed();
        EXPECT_TRUE(err.startsWith("cco-server: ")) << err.toStdString();
        EXPECT_EQ(err.count('\n'), 0) << err.toStdString();
    }

    auto first = testsupport::startCcoServer();
    ASSERT_TRUE(first->ready());
    QProcess busy;
    busy.start(testsupport::ccoServerPath(), {"--port", QString::number(first->port())});
    ASSERT_TRUE(busy.waitForFinished(5000));
    EXPECT_EQ(busy.exitCode(), 1);
    EXPECT_TRUE(busy.readAllStandardError().contains("in use"));

    // SIGINT and SIGTERM both end it cleanly, also with a call hanging.
    ASSERT_TRUE(first->command("fault hang *"));
    ::kill(first->pid(), SIGINT);
    EXPECT_GE(first->waitForLine("STOPPED", 5000), 0);
    EXPECT_EQ(first->stop(), 0);
}
