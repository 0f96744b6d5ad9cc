// What a cco-server started again on its state file knows: every binding that
// was left, and none that was removed, so that a workstation's receiver that
// went away does not come back with the CCO after a power cut.
#include "servicescco.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using ccoclient::resolve;
using ccoclient::Strings;
using ccoclient::values;
using CcoRestart = testsupport::CcoServerFixture;

TEST_F(CcoRestart, KnowsWhatWasLeftBoundAndNothingThatWasRemoved)
{
    QTemporaryDir dir;
    const QStringList args {QStringLiteral("--port"), QString::number(testsupport::freeLoopbackPort()),
        QStringLiteral("--state-file"), dir.filePath(QStringLiteral("cco.state"))};
    ASSERT_NO_FATAL_FAILURE(startCco(args));
    cco->RegisterValues("CCO/LocalSystem/Rx/Kept", values({"hostA", "7"}), CCO::RT_Single);
    cco->RegisterValues("CCO/LocalSystem/Rx/Gone", values({"hostB", "8"}), CCO::RT_Single);
    cco->Register("CCO/LocalSystem/Objects/Gone", cco, CCO::RT_Single);
    CORBA::Object_var removed = cco->Unregister("CCO/LocalSystem/Objects/Gone", CCO::RT_Single);
    cco->UnregisterValues("CCO/LocalSystem/Rx/Gone", CCO::RT_Single);
    // Killed, as in a power cut, right after the last removal: each change must have been written
    // when it was acknowledged.
    server->kill();

    ASSERT_NO_FATAL_FAILURE(startCco(args));
    EXPECT_EQ(resolve(cco, "CCO/LocalSystem/Rx"), Strings {"Kept"});
    EXPECT_EQ(resolve(cco, "CCO/LocalSystem/Rx/Kept"), (Strings {"hostA", "7"}));
    EXPECT_EQ(resolve(cco, "CCO/LocalSystem/Rx/Gone"), Strings {});
    EXPECT_THROW(CORBA::Object_var(cco->Resolve("CCO/LocalSystem/Objects/Gone", CCO::RM_Default)),
        CosNaming::NamingContext::NotFound);
}
