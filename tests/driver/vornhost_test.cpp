// vorn-host as a user runs it: a separate process with the real plug-in,
// driven through stdin or a script, talking to a cco-server.
#include "drivertestutil.h"
#include "serverprocess.h"
#include "waituntil.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using testsupport::waitUntil;

namespace
{
struct HostRun
{
    QProcess process;
    QString out;
    QString err;

    void start(const QStringList &args)
    {
        process.setProgram(QStringLiteral(VORN_HOST_PATH));
        process.setArguments(args);
        QObject::connect(&process, &QProcess::readyReadStandardOutput,
            [this] { out += QString::fromLocal8Bit(process.readAllStandardOutput()); });
        QObject::connect(&process, &QProcess::readyReadStandardError,
            [this] { err += QString::fromLocal8Bit(process.readAllStandardError()); });
        process.start();
    }
    bool finish(int timeoutMs = 15000)
    {
        return waitUntil([this] { return process.state() == QProcess::NotRunning; }, timeoutMs);
    }
    QStringList outLines() const { return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
};

QStringList hostArgs(const testsupport::ServerProcess &cco, const drivertest::Config &config)
{
    return {QStringLiteral("--cco"), cco.corbaloc(), QStringLiteral("--config"), config.file(),
        QStringLiteral("--trace-mask"), QStringLiteral("0x20"), QStringLiteral("--instance"), QStringLiteral("Drv")};
}
}

TEST(VornHost, ScriptOnStdinEditsTheTreeAndQuitsAtItsEnd)
{
    drivertest::Config config({{QStringLiteral("Drv"), {{QStringLiteral("ReconnectTimer"), QStringLiteral("100")}}}});
    auto cco = testsupport::startCcoServer();
    ASSERT_TRUE(cco->ready()) << qPrintable(cco->errorText());

    HostRun host;
    host.start(hostArgs(*cco, config));
    host.process.write("mkvalue selection /DEVICES/KRV4/ANTENNA A1,A2,\"A 3\"\n"
                       "select /DEVICES/KRV4/ANTENNA \"A 3\"\n"
                       "select /DEVICES/KRV4/ANTENNA A9\n"
                       "mkvalue int /DEVICES/KRV4/Gain 3\n"
                       "set /DEVICES/KRV4/Gain many\n"
                       "frobnicate /DEVICES\n"
                       "waitfor /DEVICES/KRV4/Gain 3 2000\n"
                       "get /DEVICES/KRV4/ANTENNA\n"
                       "mkvalue string /DEVICES/Note two  words\n"
                       "rm /DEVICES/KRV4/Gain\n"
                       "tree /DEVICES\n");
    host.process.closeWriteChannel();
    ASSERT_TRUE(host.finish()) << qPrintable(host.err);

    EXPECT_EQ(host.outLines(),
        QStringList({QStringLiteral("/DEVICES/KRV4/ANTENNA = A 3"), QStringLiteral("/DEVICES/"),
            QStringLiteral("/DEVICES/KRV4/"), QStringLiteral("/DEVICES/KRV4/ANTENNA [selection] = A 3"),
            QStringLiteral("/DEVICES/Note [string] = two  words")}))
        << qPrintable(host.err);
    // Bad lines are reported with where they came from and change nothing.
    EXPECT_TRUE(host.err.contains(QStringLiteral("error: stdin:3: select: /DEVICES/KRV4/ANTENNA has no item 'A9'")))
        << qPrintable(host.err);
    EXPECT_TRUE(host.err.contains(QStringLiteral("error: stdin:5: set:"))) << qPrintable(host.err);
    EXPECT_TRUE(host.err.contains(QStringLiteral("error: stdin:6: unknown command 'frobnicate'")));
    // The driver was created before the commands ran, and went on quit.
    EXPECT_TRUE(host.err.contains(QStringLiteral("vorn-host: created instance Drv"))) << qPrintable(host.err);
    EXPECT_TRUE(host.err.contains(QStringLiteral("vorn-host: destroyed instance Drv")));
    EXPECT_EQ(host.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(host.process.exitCode(), 1); // three commands failed
}

TEST(VornHost, LateOrbWithScriptKeepsRunningUntilSigterm)
{
    // The antenna side of a PX19 receiver puts USINGANTENNAMATRIX in place
    // once the driver's start-up has waited for the late ORB.
    drivertest::Config config({{QStringLiteral("Drv"),
        {{QStringLiteral("ReconnectTimer"), QStringLiteral("100")},
            {QStringLiteral("AntennaMatrixDriver"), QStringLiteral("true")},
            {QStringLiteral("ValuePath"), QStringLiteral("/DEVICES/PX19")}}}});
    auto cco = testsupport::startCcoServer();
    ASSERT_TRUE(cco->ready()) << qPrintable(cco->errorText());
    QTemporaryDir dir;
    QFile script(dir.filePath(QStringLiteral("start.vh")));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("# comment lines and blank lines are skipped\n\nmknode /DEVICES/KRV4\n"
                 "waitfor /DEVICES/PX19/USINGANTENNAMATRIX true 10000\necho started\n");
    script.close();

    HostRun host;
    host.start(hostArgs(*cco, config) << QStringLiteral("--orb-delay-ms") << QStringLiteral("300")
                                      << QStringLiteral("--script") << script.fileName());
    host.process.closeWriteChannel(); // stdin ends at once: with --script that does not quit

    ASSERT_TRUE(waitUntil([&] { return host.outLines() == QStringList {QStringLiteral("started")}; }, 15000))
        << qPrintable(host.err);
    // The driver was there before the ORB.
    const int created = host.err.indexOf(QStringLiteral("vorn-host: created instance Drv"));
    ASSERT_GE(created, 0) << qPrintable(host.err);
    EXPECT_GT(host.err.indexOf(QStringLiteral("vorn-host: ORB is up")), created) << qPrintable(host.err);
    EXPECT_FALSE(host.err.contains(QStringLiteral("error:"))) << qPrintable(host.err);
    EXPECT_EQ(host.process.state(), QProcess::Running);

    host.process.terminate();
    ASSERT_TRUE(host.finish()) << qPrintable(host.err);
    EXPECT_EQ(host.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(host.process.exitCode(), 0);
    EXPECT_TRUE(host.err.contains(QStringLiteral("vorn-host: destroyed instance Drv"))) << qPrintable(host.err);
}

TEST(VornHost, BadCommandLineEndsWithAReason)
{
    HostRun host;
    host.start({QStringLiteral("--no-plugin"), QStringLiteral("--orb-delay-ms"), QStringLiteral("soon")});
    ASSERT_TRUE(host.finish());
    EXPECT_EQ(host.process.exitCode(), 2);
    EXPECT_TRUE(host.err.startsWith(QStringLiteral("vorn-host: --orb-delay-ms"))) << qPrintable(host.err);

    HostRun missing;
    missing.start({QStringLiteral("--plugin"), QStringLiteral("/nonexistent/libNothing.so")});
    ASSERT_TRUE(missing.finish());
    EXPECT_EQ(missing.process.exitCode(), 2);
    EXPECT_TRUE(missing.err.contains(QStringLiteral("cannot load /nonexistent/libNothing.so")))
        << qPrintable(missing.err);
}
