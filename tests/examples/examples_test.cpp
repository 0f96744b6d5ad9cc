// The examples of the class library, run as programs against a cco-server on
// a free loopback port: what each prints, and what it left at the CCO, read
// with cco-tool.
#include "serverprocess.h"
#include "waituntil.h"

#include <QProcess>
#include <QTemporaryFile>

#include <gtest/gtest.h>

#include <memory>

using testsupport::ServerProcess;
using testsupport::waitUntil;

namespace
{
const QString receiverCategory
    = QStringLiteral("CCO/LocalSystem/LocalSubSystem/CentralServices/Receiver/PulseAnalysis");

QString examplePath(const QString &name)
{
    return QStringLiteral(EXAMPLES_DIR "/") + name;
}

// An example as a child: its output by lines, stopped by the destructor.
class Example
{
public:
    Example(const QString &name, const QStringList &args)
    {
        process.setProgram(examplePath(name));
        process.setArguments(args);
        process.start();
    }
    ~Example()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000))
                process.kill();
            process.waitForFinished(5000);
        }
    }

    // Index of the first output line at or after `from` that equals `line`,
    // once it came within `timeoutMs`; -1 otherwise.
    int waitForLine(const QString &line, int timeoutMs, int from = 0)
    {
        int at = -1;
        waitUntil([&] { return (at = collect().indexOf(line, from)) >= 0; }, timeoutMs);
        return at;
    }
    bool waitForExit(int timeoutMs)
    {
        const bool ended = waitUntil([&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
        collect();
        return ended;
    }
    int exitCode() const { return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1; }
    QString errors() const { return error; }
    QString transcript() const { return output.join(QLatin1Char('\n')) + QStringLiteral("\nstderr:\n") + error; }

private:
    QStringList collect()
    {
        pending += process.readAllStandardOutput();
        for (int nl = pending.indexOf('\n'); nl >= 0; nl = pending.indexOf('\n')) {
            output << QString::fromLocal8Bit(pending.left(nl));
            pending.remove(0, nl + 1);
        }
        error += QString::fromLocal8Bit(process.readAllStandardError());
        return output;
    }

    QProcess process;
    QByteArray pending;
    QStringList output;
    QString error;
};

struct ToolResult
{
    int exitCode = -1;
    QStringList lines;
};

ToolResult ccoTool(const QString &corbaloc, const QStringList &args)
{
    QProcess tool;
    tool.start(QStringLiteral(EXAMPLES_CCO_TOOL), QStringList {"--cco", corbaloc} + args);
    ToolResult result;
    if (!tool.waitForFinished(15000)) {
        tool.kill();
        tool.waitForFinished();
        return result;
    }
    result.exitCode = tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
    result.lines = QString::fromLocal8Bit(tool.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return result;
}

class Examples : public ::testing::Test
{
protected:
    void SetUp() override
    {
        cco = testsupport::startCcoServer({"--quiet"});
        ASSERT_TRUE(cco && cco->ready()) << (cco ? qPrintable(cco->errorText()) : "");
    }

    QString ccoAddress() const { return QStringLiteral("127.0.0.1:%1").arg(cco->port()); }
    ToolResult tool(const QStringList &args) const { return ccoTool(cco->corbaloc(), args); }

    std::unique_ptr<ServerProcess> cco;
};

TEST_F(Examples, WatchCategoryPrintsEveryChangedListInRegistrationOrder)
{
    const QString category = QStringLiteral("Examples/Watched");
    const QString base = QStringLiteral("CCO/LocalSystem/LocalSubSystem/") + category;
    Example watch("watch-category", {"--cco", ccoAddress(), "--interval", "50", category});
    ASSERT_GE(watch.waitForLine(QStringLiteral("watching ") + category, 10000), 0) << qPrintable(watch.transcript());

    ASSERT_EQ(tool({"register", base + QStringLiteral("/DeviceB"), "b 1"}).exitCode, 0);
    int at = watch.waitForLine("list of 1", 15000);
    ASSERT_GE(at, 0) << qPrintable(watch.transcript());
    EXPECT_EQ(watch.waitForLine("  DeviceB: \"b 1\"", 1000, at), at + 1);

    // Listed in the order the CCO first bound them, not by name.
    ASSERT_EQ(tool({"register", base + QStringLiteral("/DeviceA"), "a", ""}).exitCode, 0);
    at = watch.waitForLine("list of 2", 15000, at);
    ASSERT_GE(at, 0) << qPrintable(watch.transcript());
    EXPECT_EQ(watch.waitForLine("  DeviceB: \"b 1\"", 1000, at), at + 1);
    EXPECT_EQ(watch.waitForLine("  DeviceA: \"a\" \"\"", 1000, at), at + 2);

    // What is removed goes from the list; the empty list is published too.
    ASSERT_EQ(tool({"unregister", base + QStringLiteral("/DeviceB")}).exitCode, 0);
    at = watch.waitForLine("list of 1", 15000, at);
    ASSERT_GE(at, 0) << qPrintable(watch.transcript());
    EXPECT_EQ(watch.waitForLine("  DeviceA: \"a\" \"\"", 1000, at), at + 1);
    ASSERT_EQ(tool({"unregister", base + QStringLiteral("/DeviceA")}).exitCode, 0);
    EXPECT_GE(watch.waitForLine("list of 0", 15000, at), 0) << qPrintable(watch.transcript());
}

TEST_F(Examples, RegisterValuesIsSeenAtTheCcoAndThenRemoved)
{
    const QString path = QStringLiteral("CCO/LocalSystem/LocalSubSystem/Examples/Values/Device1");
    // Another list at the path first: a registration replaces it.
    ASSERT_EQ(tool({"register", path, "old"}).exitCode, 0);
    Example run("register-values", {"--cco", ccoAddress(), "Examples/Values", "Device1", "x", "y z"});
    ASSERT_TRUE(run.waitForExit(30000)) << qPrintable(run.transcript());
    EXPECT_EQ(run.exitCode(), 0) << qPrintable(run.transcript());
    const int registered = run.waitForLine(QStringLiteral("registered ") + path, 0);
    EXPECT_GE(registered, 0) << qPrintable(run.transcript());
    EXPECT_GT(run.waitForLine(QStringLiteral("removed ") + path, 0), registered) << qPrintable(run.transcript());
    // Gone at the CCO: the context holds no list and no child any more.
    const ToolResult after = tool({"list", path});
    EXPECT_TRUE(after.lines.isEmpty()) << qPrintable(after.lines.join(QLatin1Char('|')));
}

TEST_F(Examples, LocateDeviceTakesTheFirstFreeNumberAndRemovesOnlyItsOwn)
{
    const QString own = QStringLiteral("CCO/LocalSystem/LocalSubSystem/LocalHost/Locate");
    const QStringList other {"ws9", "ws9_rx", "other", "4711"};
    ASSERT_EQ(tool(QStringList {"register", own + QStringLiteral("1")} + other).exitCode, 0);

    const QStringList device {"ws1", "rx", "HF receiver", "4711"};
    {
        Example run("locate-device", QStringList {"--cco", ccoAddress(), "--trace"} + device);
        ASSERT_TRUE(run.waitForExit(60000)) << qPrintable(run.transcript());
        EXPECT_EQ(run.exitCode(), 0) << qPrintable(run.transcript());
        EXPECT_GE(run.waitForLine("registration ended", 0), 0) << qPrintable(run.transcript());
        EXPECT_TRUE(run.errors().contains("Successfully registered device for locate ws1, rx, HF receiver, 4711, 2"))
            << qPrintable(run.transcript());
    }
    EXPECT_EQ(tool({"list", own + QStringLiteral("2")}).lines, (QStringList {"ws1", "ws1_rx", "HF receiver", "4711"}));

    {
        Example run("locate-device", QStringList {"--cco", ccoAddress(), "--remove"} + device);
        ASSERT_TRUE(run.waitForExit(60000)) << qPrintable(run.transcript());
        EXPECT_EQ(run.exitCode(), 0) << qPrintable(run.transcript());
        EXPECT_GE(run.waitForLine("removal ended", 0), 0) << qPrintable(run.transcript());
        // Without --trace the library says nothing.
        EXPECT_TRUE(run.errors().isEmpty()) << qPrintable(run.transcript());
    }
    EXPECT_TRUE(tool({"list", own + QStringLiteral("2")}).lines.isEmpty());
    EXPECT_EQ(tool({"list", own + QStringLiteral("1")}).lines, other);
}

TEST_F(Examples, MirrorReceiversReportsAReceiverThatRegistersAndThenLeaves)
{
    QTemporaryFile script;
    ASSERT_TRUE(script.open());
    script.write("mkvalue string /DEVICES/RX1/Frequency 101.5\nreceiver 0 RX1\n");
    script.flush();
    ServerProcess receiver(
        QStringLiteral(EXAMPLES_VORN_HOST), {"--no-plugin", "--script", script.fileName(), "--cco", ccoAddress()});
    ASSERT_TRUE(receiver.start()) << qPrintable(receiver.errorText());

    Example mirror("mirror-receivers", {"--cco", ccoAddress(), "--pattern", "/REMOTE/RX%1", "--values", "Frequency"});
    // The first list comes on the third poll, 5 s apart.
    const int connected = mirror.waitForLine("connected index=0 ip=127.0.0.1", 40000);
    ASSERT_GE(connected, 0) << qPrintable(mirror.transcript());
    EXPECT_EQ(mirror.waitForLine("  Frequency at /REMOTE/RX0/Frequency", 1000, connected), connected + 1);

    // Gone from the CCO: dropped on the next poll.
    ASSERT_EQ(tool({"unregister", receiverCategory + QStringLiteral("/RX1")}).exitCode, 0);
    EXPECT_GT(mirror.waitForLine("disconnected index=0", 20000, connected), connected)
        << qPrintable(mirror.transcript());
}

TEST_F(Examples, BadArgumentsEndWithOneLineAndNonZero)
{
    const QList<QPair<QString, QStringList>> runs {
        {"watch-category", {}},
        {"watch-category", {"--interval", "0", "A"}},
        {"register-values", {"Examples"}},
        {"locate-device", {"h", "d", "i", "port"}},
        {"mirror-receivers", {"--pattern", "/REMOTE/RX"}},
        {"mirror-receivers", {"--cco", "nowhere"}},
    };
    for (const auto &args : runs) {
        Example run(args.first, args.second);
        ASSERT_TRUE(run.waitForExit(10000)) << qPrintable(args.first);
        EXPECT_NE(run.exitCode(), 0) << qPrintable(args.first + QLatin1Char(' ') + args.second.join(QLatin1Char(' ')));
        EXPECT_EQ(run.errors().trimmed().count(QLatin1Char('\n')), 0) << qPrintable(run.transcript());
        EXPECT_FALSE(run.errors().trimmed().isEmpty()) << qPrintable(args.first);
    }
}
}
