// Loads the built plug-in the way a host does: dlopen, then dlsym by the
// two plain entry-point names. Links the platform libraries, never the
// driver's own objects, so the plug-in's copies are the only ones.
#include "drivertestutil.h"
#include "serverprocess.h"
#include "waituntil.h"

#include "orbhandler.h"
#include "tree.h"
#include "valuebase.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

class IDllInstance;

namespace
{
using CreateFunction = IDllInstance *(*)(const wchar_t *);
using DestroyFunction = void (*)(IDllInstance *);

class Plugin : public ::testing::Test
{
protected:
    void SetUp() override
    {
        handle = dlopen(DRIVER_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        create = reinterpret_cast<CreateFunction>(dlsym(handle, "ZRCreate"));
        destroy = reinterpret_cast<DestroyFunction>(dlsym(handle, "ZRDestroy"));
        ASSERT_NE(create, nullptr);
        ASSERT_NE(destroy, nullptr);
    }
    // The library stays loaded, as in the host: the retired ORBConnection
    // lives in it.

    void *handle = nullptr;
    CreateFunction create = nullptr;
    DestroyFunction destroy = nullptr;
};
}

TEST_F(Plugin, ExportsTheEntryPointsAndTheDriverClassButNotItsInternals)
{
    EXPECT_NE(dlsym(handle, "_ZN17ExternalCCODriver4InitEv"), nullptr);
    EXPECT_EQ(dlsym(handle, "_ZN13ORBConnection8instanceEv"), nullptr);
}

TEST_F(Plugin, CreateAndDestroyCyclesWithAndWithoutTheServices)
{
    // The antenna side of a PX19 receiver puts its values in place as soon
    // as InitMatrixManager runs, which makes the end of the start-up visible
    // in the value tree that host and plug-in share.
    drivertest::Config config({{QStringLiteral("Drv"),
        {{QStringLiteral("ReconnectTimer"), QStringLiteral("50")},
            {QStringLiteral("AntennaMatrixDriver"), QStringLiteral("true")},
            {QStringLiteral("ValuePath"), QStringLiteral("/DEVICES/PX19")}}}});
    values::Tree *tree = values::Tree::Create();
    const QString using_ = QStringLiteral("/DEVICES/PX19/USINGANTENNAMATRIX");

    destroy(nullptr);

    IDllInstance *waiting = create(L"Drv");
    ASSERT_NE(waiting, nullptr);
    EXPECT_EQ(tree->FindValue(using_), nullptr) << "waiting for the ORB";
    destroy(waiting);

    auto cco = testsupport::startCcoServer();
    ASSERT_TRUE(cco->ready()) << qPrintable(cco->errorText());
    ASSERT_TRUE(CorbaCommon::OrbHandler::Instance().Init(
        {QStringLiteral("-ORBInitRef"), QStringLiteral("CCO=") + cco->corbaloc()}));

    // A driver created, destroyed and created again in one process.
    for (int round = 1; round <= 2; ++round) {
        IDllInstance *running = create(L"Drv");
        ASSERT_NE(running, nullptr);
        ASSERT_NE(tree->FindValue(using_), nullptr) << "round " << round;
        EXPECT_EQ(tree->FindValue(using_)->GetStringValue(), QStringLiteral("true"));
        destroy(running);
        EXPECT_EQ(tree->FindValue(using_), nullptr) << "round " << round;
    }
    values::Tree::Destroy();
}
