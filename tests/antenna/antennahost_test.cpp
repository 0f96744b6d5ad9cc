// vorn-host with the shipped example configuration and receiver tree, as the
// demo runs it: the plug-in switches antennas on a real matrix-server, hands
// it ranges and releases the input on "commit".
#include "antennatestsupport.h"
#include "waituntil.h"

#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

using namespace antennatest;
using testsupport::waitUntil;

namespace
{
QByteArray readExample(const char *name)
{
    QFile file(QStringLiteral(VORN_HOST_EXAMPLES "/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
}

TEST(AntennaHost, ExamplesSwitchAntennasThroughTheMatrix)
{
    // receiver.ini names matrix 1 of workstation demo-ws.
    Matrix matrix(1,
        {QStringLiteral("--inputs"), QStringLiteral("8"), QStringLiteral("--outputs"), QStringLiteral("4")},
        QStringLiteral("demo-ws"));
    ASSERT_TRUE(matrix.start());

    QProcess host;
    host.setProgram(QStringLiteral(VORN_HOST_PATH));
    host.setArguments({QStringLiteral("--cco"), ccoServer().corbaloc(), QStringLiteral("--config"),
        QStringLiteral(VORN_HOST_EXAMPLES "/receiver.ini"), QStringLiteral("--script"),
        QStringLiteral(VORN_HOST_EXAMPLES "/receiver-tree.vorn"), QStringLiteral("--trace-mask"),
        QStringLiteral("0x20")});
    QByteArray out;
    QByteArray err;
    QObject::connect(&host, &QProcess::readyReadStandardOutput, [&] { out += host.readAllStandardOutput(); });
    QObject::connect(&host, &QProcess::readyReadStandardError, [&] { err += host.readAllStandardError(); });
    host.start();
    ASSERT_TRUE(host.waitForStarted());
    const QByteArray script = readExample("antenna-switching.vorn");
    ASSERT_FALSE(script.isEmpty());
    host.write(script + "ranges HF1:low:1\nquit\n");
    host.closeWriteChannel();
    ASSERT_TRUE(waitUntil([&] { return host.state() == QProcess::NotRunning; }, 30000)) << err.constData();

    EXPECT_TRUE(out.contains("ranges: 2 handed to the driver")) << out.constData();
    EXPECT_TRUE(err.contains("START and STOP must be whole numbers")) << err.constData();
    EXPECT_EQ(host.exitCode(), 1) << "one command failed";

    auto served = [&](const char *line) { return matrix.process().waitForLine(QLatin1String(line), 2000) >= 0; };
    EXPECT_TRUE(served("CALL connect 3 2 -> ok"));
    EXPECT_TRUE(served("CALL disconnect 3 2 -> ok"));
    EXPECT_TRUE(served("CALL connect 6 2 -> ok"));
    EXPECT_TRUE(served("CALL disconnect 6 2 -> ok"));
    EXPECT_TRUE(served("CALL connect 4 2 -> ok"));
    EXPECT_TRUE(served("CALL setRanges 2 3:1500000:30000000 6:30000000:3000000000 -> ok"));
    EXPECT_TRUE(served("CALL disconnect 4 2 -> ok")) << "commit releases the input";
    EXPECT_EQ(matrix.calls("connect"), 3) << "DUMMYLOAD has no input";
    EXPECT_EQ(matrix.connections(), "");
}
