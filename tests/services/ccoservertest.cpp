// cco-server over IIOP: naming semantics, the rest of IF_CCO_c, the process's
// command line and its fault injection.
#include "clientorb.h"
#include "serverprocess.h"

#include <cco.hh>

#include <gtest/gtest.h>

using namespace servicetests;
using testsupport::ServerProcess;

namespace
{
std::vector<std::string> strings(const CCO::StringList &list)
{
    std::vector<std::string> out;
    for (CORBA::ULong i = 0; i < list.length(); ++i)
        out.push_back(list[i].in());
    return out;
}

CCO::StringList values(std::initializer_list<const char *> items)
{
    CCO::StringList list;
    list.length(CORBA::ULong(items.size()));
    CORBA::ULong i = 0;
    for (const char *s : items)
        list[i++] = CORBA::string_dup(s);
    return list;
}

class CcoServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        server = testsupport::startCcoServer({"--workstation", "ws1", "--subsystem", "SubA", "--subsystems",
                                              "SubA,SubB", "--system", "Sys"});
        ASSERT_TRUE(server->ready()) << server->errorText().toStdString();
        cco = narrowTo<CCO::IF_CCO_c>(server->corbaloc().toStdString());
        ASSERT_FALSE(CORBA::is_nil(cco));
    }

    std::vector<std::string> resolve(const char *name)
    {
        CCO::StringList_var list = cco->ResolveValues(name, CCO::RM_Default);
        return strings(list.in());
    }

    std::unique_ptr<ServerProcess> server;
    CCO::IF_CCO_c_var cco;
};
}

TEST_F(CcoServerTest, ValuesRoundTripThroughAliasesAndRelativeNames)
{
    cco->RegisterValues("CCO/LocalSystem/LocalSubSystem/LocalHost/Dev/1", values({"a", "b"}), CCO::RT_Single);
    EXPECT_EQ(resolve("CCO/LocalSystem/SubSystems/SubA/Workstations/ws1/Dev/1"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(resolve("Dev/1"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(resolve("/CCO/Sys/LocalSubSystem/Workstations/ws1/Dev/1"), (std::vector<std::string>{"a", "b"}));
}
