// What the tests of the stand-in servers share: a fixture for a test that talks to one cco-server
// at a time, and the files they write and read beside it.
#pragma once

#include "ccoclient.h"
#include "serverprocess.h"

#include <QFile>

#include <gtest/gtest.h>

#include <memory>

namespace testsupport
{
inline void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

// The whole file, or nothing when it cannot be read.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

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
