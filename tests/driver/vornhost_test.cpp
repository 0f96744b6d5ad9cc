// vorn-host as a user runs it: a separate process with the real plug-in,
// driven through a script, talking to a cco-server.
#include "drivertestutil.h"
#include "serverprocess.h"
#include "waituntil.h"

#include <QProcess>

#include <gtest/gtest.h>

using testsupport::waitUntil;

TEST(VornHost, ScriptRunsAgainstTheDriverComingUpWithALateOrbUntilSigterm)
{
    drivertest::Config config("ReconnectTimer=100\nAntennaMatrixDriver=true\nValuePath=/DEVICES/PX19\n");
    auto cco = testsupport::startCcoServer();
    ASSERT_TRUE(cco->ready()) << qPrintable(cco->errorText());
    QTemporaryDir dir;
    QFile script(dir.filePath("start.vh"));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("# comments and blank lines are skipped\n\n"
                 "mkvalue selection /DEVICES/KRV4/ANTENNA A1,\"A 3\"\n"
                 "select /DEVICES/KRV4/ANTENNA A9\n"
                 "select /DEVICES/KRV4/ANTENNA \"A 3\"\n"
                 "select /DEVICES/KRV4/ANTENNA\n"
                 "frobnicate /DEVICES\n"
                 "waitfor /DEVICES/PX19/USINGANTENNAMATRIX true 10000\n"
                 "get /DEVICES/KRV4/ANTENNA\n"
                 "echo started\n");
    script.close();

    QProcess host;
    QString out, err;
    const auto read = [&] {
        out += QString::fromLocal8Bit(host.readAllStandardOutput());
        err += QString::fromLocal8Bit(host.readAllStandardError());
    };
    host.start(QStringLiteral(VORN_HOST_PATH),
        QStringLiteral("--cco %1 --config %2 --trace-mask 0x20 --instance Drv --orb-delay-ms 300 --script %3")
            .arg(cco->corbaloc(), config.file(), script.fileName())
            .split(QLatin1Char(' ')));
    host.closeWriteChannel(); // with --script the end of stdin does not quit

    ASSERT_TRUE(waitUntil([&] { return read(), out.endsWith("started\n"); }, 15000)) << qPrintable(err);
    EXPECT_EQ(out, "/DEVICES/KRV4/ANTENNA = A 3\nstarted\n");
    // Bad lines are reported with where they came from and change nothing.
    EXPECT_TRUE(err.contains("error: start.vh:4: select: /DEVICES/KRV4/ANTENNA has no item 'A9'")) << qPrintable(err);
    EXPECT_TRUE(err.contains("error: start.vh:7: unknown command 'frobnicate'"));
    // The driver was there before the ORB.
    const int created = err.indexOf("vorn-host: created instance Drv");
    ASSERT_GE(created, 0) << qPrintable(err);
    EXPECT_GT(err.indexOf("vorn-host: ORB is up"), created);
    EXPECT_EQ(host.state(), QProcess::Running);

    host.terminate();
    ASSERT_TRUE(waitUntil([&] { return read(), host.state() == QProcess::NotRunning; }, 15000)) << qPrintable(err);
    read();
    EXPECT_EQ(host.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(host.exitCode(), 1) << "three commands failed";
    EXPECT_TRUE(err.contains("vorn-host: destroyed instance Drv")) << qPrintable(err);
}

// Commands piped in as a shell or another program sends them: CRLF line ends,
// quotes with escapes, comments, a last line without a newline. The end of
// the input ends the host, with status 1 for its one failed command.
TEST(VornHostStdin, CommandsFromAPipeRunToItsEndAndOneFailureGivesStatusOne)
{
    QProcess host;
    host.start(QStringLiteral(VORN_HOST_PATH), {"--no-plugin", "--orb-delay-ms", "0"});
    ASSERT_TRUE(host.waitForStarted());
    host.write("# a comment\r\n"
               "mkvalue string /A/B \"say \\\"hi\\\"\"\r\n"
               "get /A/B\r\n"
               "set /A/B \"open\r\n"
               "echo last");
    host.closeWriteChannel();
    ASSERT_TRUE(host.waitForFinished(15000));
    EXPECT_EQ(QString::fromLocal8Bit(host.readAllStandardOutput()), "/A/B = say \"hi\"\nlast\n");
    const QString err = QString::fromLocal8Bit(host.readAllStandardError());
    EXPECT_EQ(err.count("error:"), 1) << qPrintable(err);
    EXPECT_TRUE(err.contains("error: stdin:4: unterminated quote")) << qPrintable(err);
    EXPECT_EQ(host.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(host.exitCode(), 1);
}
