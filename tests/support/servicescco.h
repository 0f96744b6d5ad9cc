// A test that talks to one cco-server at a time: the process and this process's reference to it.
#pragma once

#include "ccoclient.h"
#include "serverprocess.h"

#include <gtest/gtest.h>

#include <memory>

namespace testsupport
{
class CcoServerFixture : public ::testing::Test
{
protected:
    // Starts a cco-server with `args` (a running one is stopped after the new one came up) and
    // connects to it. Fails the test when the server does not come up: call it under
    // ASSERT_NO_FATAL_FAILURE.
    void startCco(const QStringList &args = {})
    {
        server = startCcoServer(args);
        ASSERT_TRUE(server->ready()) << qPrintable(server->errorText());
        cco = ccoclient::connectCco(*server, 5000);
    }

    std::unique_ptr<ServerProcess> server;
    CCO::IF_CCO_c_var cco;
};
}
