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

// An example as a child, stopped when this goes. Examples print no READY line,
// so start() only launches them; a failed test shows what they printed.
std::unique_ptr<ServerProcess> startExample(const QString &name, const QStringList &args)
{
    auto example = std::make_unique<ServerProcess>(QStringLiteral(EXAMPLES_DIR "/") + name, args);
    example->start(0);
    return example;
}

// Its exit status once it ended within `timeoutMs` (128 + signal after a
// crash), -1 while it still runs.
int exitCode(ServerProcess &example, int timeoutMs)
{
    return waitUntil([&] { return !example.isRunning(); }, timeoutMs) ? example.stop() : -1;
}

struct ToolResult
{
    int exitCode = -1;
    QStringList lines;
};

ToolResult ccoTool(const QString &corbaloc, const QStringList &args)
{
    QProcess tool; // killed by its destructor if it hangs
    tool.start(QStringLiteral(EXAMPLES_CCO_TOOL), QStringList {"--cco", corbaloc} + args);
    ToolResult result;
    if (tool.waitForFinished(15000) && tool.exitStatus() == QProcess::NormalExit) {
        result.exitCode = tool.exitCode();
        result.lines
            = QString::fromLocal8Bit(tool.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
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
    auto watch = startExample("watch-category", {"--cco", ccoAddress(), "--interval", "50", category});
    ASSERT_GE(watch->waitForLine(QStringLiteral("watching ") + category, 10000), 0);

    ASSERT_EQ(tool({"register", base + QStringLiteral("/DeviceB"), "b 1"}).exitCode, 0);
    int at = watch->waitForLine("list of 1", 15000);
    ASSERT_GE(at, 0);
    EXPECT_EQ(watch->waitForLine("  DeviceB: \"b 1\"", 1000, at), at + 1);

    // Listed in the order the CCO first bound them, not by name.
    ASSERT_EQ(tool({"register", base + QStringLiteral("/DeviceA"), "a", ""}).exitCode, 0);
    at = watch->waitForLine("list of 2", 15000, at);
    ASSERT_GE(at, 0);
    EXPECT_EQ(watch->waitForLine("  DeviceB: \"b 1\"", 1000, at), at + 1);
    EXPECT_EQ(watch->waitForLine("  DeviceA: \"a\" \"\"", 1000, at), at + 2);

    // What is removed goes from the list; the empty list is published too.
    ASSERT_EQ(tool({"unregister", base + QStringLiteral("/DeviceB")}).exitCode, 0);
    at = watch->waitForLine("list of 1", 15000, at);
    ASSERT_GE(at, 0);
    EXPECT_EQ(watch->waitForLine("  DeviceA: \"a\" \"\"", 1000, at), at + 1);
    ASSERT_EQ(tool({"unregister", base + QStringLiteral("/DeviceA")}).exitCode, 0);
    EXPECT_GE(watch->waitForLine("list of 0", 15000, at), 0);
}

TEST_F(Examples, RegisterValuesIsSeenAtTheCcoAndThenRemoved)
{
    const QString path = QStringLiteral("CCO/LocalSystem/LocalSubSystem/Examples/Values/Device1");
    // Another list at the path first: a registration replaces it.
    ASSERT_EQ(tool({"register", path, "old"}).exitCode, 0);
    auto run = startExample("register-values", {"--cco", ccoAddress(), "Examples/Values", "Device1", "x", "y z"});
    EXPECT_EQ(exitCode(*run, 30000), 0);
    const int registered = run->waitForLine(QStringLiteral("registered ") + path, 0);
    EXPECT_GE(registered, 0);
    EXPECT_GT(run->waitForLine(QStringLiteral("removed ") + path, 0), registered);
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
    auto run = startExample("locate-device", QStringList {"--cco", ccoAddress(), "--trace"} + device);
    EXPECT_EQ(exitCode(*run, 60000), 0);
    EXPECT_GE(run->waitForLine("registration ended", 0), 0);
    EXPECT_GE(run->waitForLine("Successfully registered device for locate ws1, rx, HF receiver, 4711, 2", 0), 0);
    EXPECT_EQ(tool({"list", own + QStringLiteral("2")}).lines, (QStringList {"ws1", "ws1_rx", "HF receiver", "4711"}));

    run = startExample("locate-device", QStringList {"--cco", ccoAddress(), "--remove"} + device);
    EXPECT_EQ(exitCode(*run, 60000), 0);
    EXPECT_GE(run->waitForLine("removal ended", 0), 0);
    EXPECT_EQ(run->countLines("stderr: "), 0) << "without --trace the library says nothing";
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

    auto mirror = startExample(
        "mirror-receivers", {"--cco", ccoAddress(), "--pattern", "/REMOTE/RX%1", "--values", "Frequency"});
    // The first list comes on the third poll, 5 s apart.
    const int connected = mirror->waitForLine("connected index=0 ip=127.0.0.1", 40000);
    ASSERT_GE(connected, 0);
    EXPECT_EQ(mirror->waitForLine("  Frequency at /REMOTE/RX0/Frequency", 1000, connected), connected + 1);

    // Gone from the CCO: dropped on the next poll.
    ASSERT_EQ(tool({"unregister", receiverCategory + QStringLiteral("/RX1")}).exitCode, 0);
    EXPECT_GT(mirror->waitForLine("disconnected index=0", 20000, connected), connected);
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
        auto run = startExample(args.first, args.second);
        EXPECT_GT(exitCode(*run, 10000), 0)
            << qPrintable(args.first + QLatin1Char(' ') + args.second.join(QLatin1Char(' ')));
        EXPECT_EQ(run->countLines("stderr: "), 1) << qPrintable(args.first);
    }
}
}
