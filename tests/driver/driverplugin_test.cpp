// Loads the built plug-in as a host does (dlopen, dlsym by the two plain names).
// Links the platform libraries but never the driver's own objects.
#include "drivertestutil.h"
#include "serverprocess.h"

#include "orbhandlerhost.h"
#include "tree.h"
#include "treehost.h"
#include "valuebase.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

class IDllInstance;

TEST(Plugin, CreateAndDestroyCyclesThroughThePlainEntryPoints)
{
    // The library stays loaded, as in the host: the retired ORBConnection lives in it.
    void *handle = dlopen(DRIVER_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto create = reinterpret_cast<IDllInstance *(*)(const wchar_t *)>(dlsym(handle, "ZRCreate"));
    auto destroy = reinterpret_cast<void (*)(IDllInstance *)>(dlsym(handle, "ZRDestroy"));
    ASSERT_NE(create, nullptr);
    ASSERT_NE(destroy, nullptr);
    EXPECT_NE(dlsym(handle, "_ZN17ExternalCCODriver4InitEv"), nullptr) << "the driver class is exported";
    EXPECT_EQ(dlsym(handle, "_ZN13ORBConnection8instanceEv"), nullptr) << "its internals are not";

    // The antenna side of a PX19 receiver puts its values in place once
    // InitMatrixManager runs, in the tree that host and plug-in share.
    drivertest::Config config("AntennaMatrixDriver=true\nValuePath=/DEVICES/PX19\n");
    values::Tree *tree = values::TreeHost::Create();
    const QString usingMatrix = QStringLiteral("/DEVICES/PX19/USINGANTENNAMATRIX");
    destroy(nullptr);
    IDllInstance *waiting = create(L"Drv");
    EXPECT_EQ(tree->FindValue(usingMatrix), nullptr) << "waiting for the ORB";
    destroy(waiting);

    auto cco = testsupport::startCcoServer();
    ASSERT_TRUE(cco->ready()) << qPrintable(cco->errorText());
    ASSERT_TRUE(CorbaCommon::OrbHandlerHost::Init({"-ORBInitRef", "CCO=" + cco->corbaloc()}));
    for (int round = 1; round <= 2; ++round) {
        IDllInstance *running = create(L"Drv");
        ASSERT_NE(tree->FindValue(usingMatrix), nullptr) << "round " << round;
        EXPECT_EQ(tree->FindValue(usingMatrix)->GetStringValue(), "true");
        destroy(running);
        EXPECT_EQ(tree->FindValue(usingMatrix), nullptr) << "round " << round;
    }
    values::TreeHost::Destroy();
}
