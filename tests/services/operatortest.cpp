// What an operator sets up and sees of the CCO beyond naming: its configured
// workstations and limits, workstation indications, callbacks from their
// registration to its end, and cco-tool's answers and exit codes.
#include "servicescco.h"
#include "waituntil.h"

#include <cco.hh>
#include <matrixmanager.hh>

#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

using namespace ccoclient;
using CcoConfiguration = testsupport::CcoServerFixture;
using CcoCallbacks = testsupport::CcoServerFixture;
using CcoTool = testsupport::CcoServerFixture;

namespace
{
// Records what the CCO tells it, as "<kind> <name>".
class Recorder : public POA_CCO::Callback
{
public:
    void notify(CCO::NotificationKind kind, const char *name) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_heard.push_back(std::to_string(int(kind)) + " " + name);
    }
    Strings heard()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_heard;
    }

private:
    std::mutex m_mutex;
    Strings m_heard;
};
}

TEST_F(CcoConfiguration, WorkstationsIndicationsAndBindingLimits)
{
    // Each limit at its lowest: the lowest allowed value is a value, not a refusal.
    ASSERT_NO_FATAL_FAILURE(startCco({"--workstation", "own", "--workstations", ",wa,,wb,", "--max-bindings", "3",
        "--max-values", "2", "--idle-timeout", "0", "--max-connection-threads", "1", "--reserved-descriptors", "8"}));
    const char *const own = "CCO/LocalSystem/LocalSubSystem/Workstations/";

    // Its own workstation first, then the configured ones, then those that only registered something.
    cco->RegisterValues((std::string(own) + "late/Thing").c_str(), values({"a", "b"}), CCO::RT_Single);
    CCO::StringList_var listed = cco->GetWorkstations("SubSystem1");
    EXPECT_EQ(strings(listed.in()), (Strings {"own", "wa", "wb", "late"}));
    EXPECT_THROW(cco->RegisterValues("Three", values({"1", "2", "3"}), CCO::RT_Single), CORBA::IMP_LIMIT);

    // Bindings of both kinds count against --max-bindings, and a removal makes room.
    cco->RegisterValues("Second", values({}), CCO::RT_Single);
    cco->Register("Object", cco, CCO::RT_Single);
    EXPECT_THROW(cco->RegisterValues("Fourth", values({}), CCO::RT_Single), CORBA::NO_RESOURCES);
    EXPECT_THROW(cco->Register("Fourth", cco, CCO::RT_Single), CORBA::NO_RESOURCES);
    cco->UnregisterValues("Second", CCO::RT_Single);
    cco->RegisterValues("Fourth", values({}), CCO::RT_Single);

    cco->StartupIndication("w1");
    EXPECT_TRUE(cco->CheckIndication("w1"));
    EXPECT_TRUE(cco->IsWorkstationIndicated("SubSystem1", "w1"));
    EXPECT_FALSE(cco->IsWorkstationIndicated("Elsewhere", "w1"));
    cco->ShutdownIndication("w1");
    EXPECT_FALSE(cco->CheckIndication("w1"));

    // Clearing one operation's faults leaves the others'.
    for (const char *command : {"fault raise GetSystemName NameNotAvailable",
             "fault raise GetSubSystemName NameNotAvailable", "fault clear GetSubSystemName"})
        ASSERT_TRUE(server->command(QLatin1String(command)));
    EXPECT_THROW(CORBA::String_var(cco->GetSystemName()), CCO::IF_CCO_c::NameNotAvailable);
    EXPECT_STREQ(CORBA::String_var(cco->GetSubSystemName()).in(), "SubSystem1");
}

// A callback hears the kinds it asked for, at or below the names it gave,
// until its registration ends.
TEST_F(CcoCallbacks, HeardAsAskedUntilTheRegistrationEnds)
{
    CORBA::ORB_ptr orb = clientOrb(5000);
    CORBA::Object_var poaObject = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(poaObject);
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();
    auto *recorder = new Recorder;
    PortableServer::ObjectId_var id = poa->activate_object(recorder);
    recorder->_remove_ref(); // the POA's now
    CORBA::Object_var self = poa->id_to_reference(id);
    CCO::Callback_var callback = CCO::Callback::_narrow(self);

    ASSERT_NO_FATAL_FAILURE(startCco());
    CCO::CBRegistration_var registration = cco->register_callback(
        callback, entries({{CCO::NK_Registered, "CCO/LocalSystem/W/A"}, {CCO::NK_Startup, ""}}));
    cco->RegisterValues("CCO/LocalSystem/W/AB", values({}), CCO::RT_Single); // beside, not below
    cco->RegisterValues("CCO/LocalSystem/W/A/x", values({}), CCO::RT_Single);
    cco->UnregisterValues("CCO/LocalSystem/W/A/x", CCO::RT_Single); // a kind it did not ask for
    cco->StartupIndication("ws9");
    // One thread sends them in order and logs each: once the last one is logged, no other is on its way.
    EXPECT_GE(server->waitForLine(" ws9 -> sent", 5000), 0);
    EXPECT_EQ(server->countLines("CALL notify "), 2);
    EXPECT_TRUE(testsupport::waitUntil([&] { return recorder->heard().size() >= 2; }, 5000));
    Strings heard = recorder->heard();
    std::sort(heard.begin(), heard.end()); // oneway calls may be served side by side
    EXPECT_EQ(heard, (Strings {"0 CCO/LocalSystem/W/A/x", "3 ws9"}));

    registration->unregister();
    EXPECT_EQ(ccoclient::stat(*server, "callbacks"), 0);
}

TEST_F(CcoTool, AnswersErrorsAndExitCodes)
{
    ASSERT_NO_FATAL_FAILURE(startCco());
    struct Result
    {
        int code;
        QString out, err;
    };
    // The deadline is far beyond --timeout: a tool that ignores it never ends in time.
    const auto tool = [&](const QStringList &args) {
        QProcess p;
        p.start(QStringLiteral(OPERATORTEST_CCO_TOOL), QStringList {"--cco", server->corbaloc()} + args);
        const bool ended = p.waitForFinished(10000);
        if (!ended)
            p.kill();
        p.waitForFinished(5000);
        return Result {ended ? p.exitCode() : -1, QString::fromLocal8Bit(p.readAllStandardOutput()),
            QString::fromLocal8Bit(p.readAllStandardError())};
    };

    Result r = tool({"register", "Tool/Name", "one", "two words"});
    EXPECT_EQ(r.code, 0) << qPrintable(r.err);
    r = tool({"list", "Tool/Name"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "one\ntwo words\n");
    r = tool({"list", "CCO/LocalSystem/Nowhere/Missing"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "cco-tool: NotFound\n");
    // A matrix manager found by its name at the CCO.
    auto matrix = testsupport::startMatrixServer(server->corbaloc(), {"--workstation", "wsT"});
    ASSERT_GE(matrix->waitForLine("REGISTERED", 5000), 0);
    const QString mmr
        = QStringLiteral("CCO/LocalSystem/LocalSubSystem/Workstations/wsT/AntennaMatrixManager1/IF_MMR_c");
    EXPECT_EQ(tool({"matrix", mmr, "connect", "1", "2"}).code, 0);
    r = tool({"matrix", mmr, "connect", "3", "2"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "cco-tool: ConnectedException: output 2 is taken by input 1\n");
    MatrixManager::PortRangeList ranges;
    ranges.length(1);
    ranges[0] = {1, 0, 10};
    MatrixManager::PortRangeList_var set
        = MatrixManager::IF_MMR_c_var(ccoclient::narrowTo<MatrixManager::IF_MMR_c>(matrix->corbaloc()))
              ->setRanges(2, ranges);
    EXPECT_EQ(tool({"matrix", mmr, "reset"}).code, 0);
    r = tool({"matrix", mmr, "state"});
    EXPECT_TRUE(r.out.startsWith("connections: \nstatus: ")) << qPrintable(r.out);
    EXPECT_FALSE(r.out.contains("ranges.out")) << qPrintable(r.out); // a reset clears the ranges too

    r = tool({"frobnicate"});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.startsWith("cco-tool: unknown command")) << qPrintable(r.err);

    ASSERT_TRUE(server->command("fault hang *"));
    r = tool({"--timeout", "300", "list", "Tool/Name"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.startsWith("cco-tool: TIMEOUT")) << qPrintable(r.err);
}
