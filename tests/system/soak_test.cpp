// Soak: a mirroring workstation (vorn-host at the fixed 5000 ms pace) runs
// for about two and a half minutes while the CCO flaps (killed or stopped,
// then started again on its port with its state file) and receiver
// workstations join, leave and crash. The mirroring process's memory and
// thread count must stay flat, and it must still mirror a receiver that
// joins at the end, and the CCO must hold no registration of a receiver that
// left. A failure shows the figures of every step.
#include "systemsupport.h"

#include "serverprocess.h"
#include "waituntil.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <array>

using namespace systemtest;
using testsupport::ServerProcess;
using testsupport::waitUntil;

namespace
{
constexpr int soakMs = 140000;
constexpr int stepMs = 7000;
constexpr int receiverSlots = 3;
// The receivers' ORB default (OrbHandlerHost): an unregistration's one call ends within it.
constexpr int callTimeoutMs = 3000;

struct Sample
{
    qint64 atMs;
    ProcessFigures figures;
    int mirrored;
    QString event;
};

class Soak : public ::testing::Test
{
protected:
    void startCco()
    {
        cco = std::make_unique<ServerProcess>(testsupport::ccoServerPath(),
            QStringList {"--port", QString::number(ccoPort), "--quiet", "--state-file", scratch.filePath("cco.state")});
        ASSERT_TRUE(cco->start()) << qPrintable(cco->errorText());
    }

    std::unique_ptr<ServerProcess> startReceiver(int slot)
    {
        return startReceiverHost(ccoPort, ports[slot], QStringLiteral("SOAK%1").arg(slot), QString::number(100 + slot));
    }

    // Receivers the mirror holds now: connected lines minus disconnected ones.
    int mirrored()
    {
        const QStringList lines = mirror->lines();
        return lines.filter(QStringLiteral("MIRROR connected")).size()
            - lines.filter(QStringLiteral("MIRROR disconnected")).size();
    }

    // The receiver entries the CCO holds now.
    QStringList registered()
    {
        QProcess tool;
        tool.start(ccoToolPath(),
            {"--cco", QStringLiteral("corbaloc::127.0.0.1:%1/CCO").arg(ccoPort), "list",
                "CCO/LocalSystem/LocalSubSystem/CentralServices/Receiver/PulseAnalysis"});
        tool.waitForFinished(10000);
        return QString::fromLatin1(tool.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    // Unregisters the receiver in `slot` and waits until the CCO has let it
    // go. An unregistration whose one call met a connection to a CCO process
    // that is gone is not retried, so a second one is sent then.
    void leave(int slot)
    {
        const QString name = QStringLiteral("SOAK%1").arg(slot);
        for (int attempt = 0; attempt < 2; ++attempt) {
            hostDo(*receivers[slot], {QStringLiteral("unregister ") + name});
            if (waitUntil([&] { return !registered().join(QLatin1Char(' ')).contains(name); }, 2 * callTimeoutMs, 50))
                return;
        }
    }

    void sample(const QString &event)
    {
        samples.push_back({clock.elapsed(), processFigures(mirror->pid()), mirrored(), event});
    }

    QTemporaryDir scratch;
    int ccoPort = testsupport::freeLoopbackPort();
    std::array<int, receiverSlots> ports {};
    std::unique_ptr<ServerProcess> cco;
    std::unique_ptr<ServerProcess> mirror;
    std::array<std::unique_ptr<ServerProcess>, receiverSlots> receivers;
    std::vector<Sample> samples;
    QElapsedTimer clock;
};

TEST_F(Soak, MirroringStaysFlatThroughAFlappingCcoAndReceiversComingAndGoing)
{
    for (int &port : ports)
        port = testsupport::freeLoopbackPort();
    startCco();
    clock.start();
    mirror = startVornHost({"--no-plugin", "--stay", "--cco", QStringLiteral("127.0.0.1:%1").arg(ccoPort)},
        {"mirror /RECEIVERS/RX%1 Frequency"});
    ASSERT_TRUE(mirror);
    for (int slot = 0; slot < receiverSlots; ++slot) {
        receivers[slot] = startReceiver(slot);
        ASSERT_TRUE(receivers[slot]);
    }
    // Three polls: ORB, CCO, then the first list.
    ASSERT_TRUE(waitUntil([&] { return mirrored() == receiverSlots; }, 30000)) << mirrored();
    sample("all three mirrored (warm)");
    const Sample warm = samples.back();

    int step = 0;
    while (clock.elapsed() < soakMs) {
        const qint64 next = clock.elapsed() + stepMs;
        QString event;
        ++step;
        if (step % 4 == 0) {
            // The CCO goes for a moment: killed or stopped, then back.
            const bool crash = step % 8 == 0;
            if (crash)
                cco->kill();
            else
                cco->stop();
            waitUntil([&] { return clock.elapsed() >= next - stepMs / 2; }, stepMs);
            startCco();
            event = crash ? "CCO killed and restarted" : "CCO stopped and restarted";
        } else {
            const int slot = step % receiverSlots;
            if (receivers[slot]) {
                if (step % 3 == 0) {
                    receivers[slot]->kill();
                    event = QStringLiteral("receiver %1 crashed").arg(slot);
                } else {
                    leave(slot);
                    receivers[slot]->stop();
                    event = QStringLiteral("receiver %1 left").arg(slot);
                }
                receivers[slot].reset();
            } else {
                receivers[slot] = startReceiver(slot);
                event = QStringLiteral("receiver %1 joined").arg(slot);
            }
        }
        ASSERT_TRUE(cco->isRunning());
        waitUntil([&] { return clock.elapsed() >= next; }, stepMs + 1000);
        sample(event);
    }

    // Everybody leaves and ends; the mirror lets every receiver go.
    for (int slot = 0; slot < receiverSlots; ++slot) {
        if (!receivers[slot])
            receivers[slot] = startReceiver(slot);
        ASSERT_TRUE(receivers[slot]);
        leave(slot);
        receivers[slot].reset();
    }
    EXPECT_TRUE(waitUntil([&] { return mirrored() == 0; }, 20000)) << mirrored();
    sample("all left");
    const Sample empty = samples.back();
    EXPECT_EQ(registered(), QStringList()) << "registrations left behind at the CCO";

    // And it still works: one joins and is mirrored.
    receivers[0] = startReceiver(0);
    ASSERT_TRUE(receivers[0]);
    EXPECT_TRUE(waitUntil([&] { return mirrored() == 1; }, 15000));
    ASSERT_TRUE(hostDo(*mirror, {"waitfor /RECEIVERS/RX0/Frequency 100 5000"}));
    sample("one joined at the end");

    // The samples begin with the warm one.
    long maxRss = 0;
    int maxThreads = 0;
    QString history;
    for (const Sample &s : samples) {
        history += QStringLiteral("\n%1 s: VmRSS %2 kB, threads %3, descriptors %4, mirrored %5 after %6")
                       .arg(s.atMs / 1000.0, 0, 'f', 1)
                       .arg(s.figures.rssKb)
                       .arg(s.figures.threads)
                       .arg(s.figures.fds)
                       .arg(s.mirrored)
                       .arg(s.event);
        maxRss = std::max(maxRss, s.figures.rssKb);
        maxThreads = std::max(maxThreads, s.figures.threads);
    }
    SCOPED_TRACE(qPrintable(history));

    // Flat: no more than a few MB above the warm process, threads back to
    // what three mirrored receivers take at most, descriptors likewise.
#ifndef SYSTEMTEST_SANITIZED
    // Sanitizers hold freed memory back on purpose.
    EXPECT_LT(maxRss - warm.figures.rssKb, 6 * 1024);
#endif
    EXPECT_LE(maxThreads, warm.figures.threads + 2);
    EXPECT_LE(empty.figures.threads, warm.figures.threads);
    EXPECT_LE(empty.figures.fds, warm.figures.fds + 2);
}
}
