#include "scaleround.h"

#include "benchhosts.h"

#include "ccowatcher.h"
#include "receivercco.h"
#include "serverprocess.h"
#include "tree.h"
#include "vtclientcenter.h"
#include "waituntil.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>

using namespace externalCCODriver::mirroring;

namespace mirroringtest
{
namespace
{
// Enough server processes that no single one carries the whole load of a
// thousand clients; few enough to start quickly.
constexpr int ServerHosts = 4;
constexpr int ConnectTimeoutMs = 60000;

long statusField(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(static_cast<int>(qstrlen(field))).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}

// Receiver i's address: 127.1.x.y, all of which reach a server listening on
// every interface.
QString addressOf(int i)
{
    return QStringLiteral("127.1.%1.%2").arg(i / 200).arg(i % 200 + 1);
}

class ScaleMirror : public ReceiverCCO
{
public:
    using ReceiverCCO::onReceiverListUpdated;
    using ReceiverCCO::ReceiverCCO;
};

// The longest time the owner's thread went without running its event loop.
class StallMeter
{
public:
    StallMeter()
    {
        timer.setInterval(2);
        QObject::connect(&timer, &QTimer::timeout, [this] { beat(); });
    }
    void start()
    {
        worst = 0;
        clock.start();
        timer.start();
    }
    void beat() { worst = std::max(worst, clock.restart()); }
    qint64 stop()
    {
        beat();
        timer.stop();
        return worst;
    }

private:
    QTimer timer;
    QElapsedTimer clock;
    qint64 worst = 0;
};
}

bool runScaleRounds(const std::vector<int> &counts)
{
    const int maxReceivers = counts.empty() ? 0 : *std::max_element(counts.begin(), counts.end());
    ensureOrb(0);

    std::vector<std::unique_ptr<HostProcess>> hosts;
    std::vector<int> ports;
    for (int h = 0; h < ServerHosts; ++h) {
        const int port = testsupport::freeLoopbackPort();
        auto host = std::make_unique<HostProcess>(QStringList {QStringLiteral("--no-plugin"), QStringLiteral("--stay"),
            QStringLiteral("--"), QStringLiteral("-ORBendPoint"), QStringLiteral("giop:tcp::%1").arg(port)});
        if (!host->start()) {
            std::fprintf(stderr, "mirroring-bench: cannot start a receiver host\n");
            return false;
        }
        host->send(QStringLiteral("mkvalue string /DEVICES/RX/Frequency 0"));
        host->send(QStringLiteral("receiver %1 - 127.0.0.1 10.1.1.%2 /DEVICES/RX").arg(port).arg(h + 1));
        if (host->waitForLine(QStringLiteral("READY"), 15000) < 0) {
            std::fprintf(stderr, "mirroring-bench: receiver host not ready:\n%s\n", qPrintable(host->diagnostics()));
            return false;
        }
        hosts.push_back(std::move(host));
        ports.push_back(port);
    }

    externalCCODriver::CCOWatcher::CCOValuesList list;
    for (int i = 0; i < maxReceivers; ++i) {
        list.append(qMakePair(QStringLiteral("RX%1").arg(i),
            QStringList {addressOf(i), QStringLiteral("dev"), QStringLiteral("scale"),
                QString::number(ports[static_cast<size_t>(i % ServerHosts)])}));
    }

    bool allComplete = true;
    for (int n : counts) {
        QObject parent;
        auto *mirror = new ScaleMirror(parent);
        int connected = 0;
        QObject::connect(
            mirror, &ReceiverCCO::receiverConnected, &parent, [&](const CcoReceiverProperties &) { ++connected; });
        CcoInitParameters parameters;
        parameters.subTreePattern = QStringLiteral("/SCALE/RX%1");
        parameters.mirroredValues = QStringList {QStringLiteral("Frequency")};
        mirror->init(parameters);
        // The list is handed over directly; the CCO plays no part here.
        delete mirror->findChild<externalCCODriver::CCOWatcher *>();

        StallMeter stalls;
        const long rssBefore = statusField("VmRSS:");
        stalls.start();
        QElapsedTimer clock;
        clock.start();
        mirror->onReceiverListUpdated(list.mid(0, n));
        const qint64 connectMs = clock.elapsed();
        // Every receiver reports connected once its values are mirrored (and
        // again on each change of its Ip, which stays put here).
        const bool complete = testsupport::waitUntil([&] { return connected >= n; }, ConnectTimeoutMs, 1);
        const qint64 allConnectedMs = clock.elapsed();
        const int threads = VtClientCenter::NetworkThreadCount();
        const long rssKbPerReceiver = (statusField("VmRSS:") - rssBefore) / n;

        clock.restart();
        mirror->onReceiverListUpdated({});
        testsupport::waitUntil(
            [] {
                return VtClientCenter::Instance()->ClientCount() == 0
                    && !values::Tree::Instance()->FindNode(QStringLiteral("/SCALE"));
            },
            ConnectTimeoutMs, 1);
        const qint64 teardownMs = clock.elapsed();
        const qint64 maxStallMs = stalls.stop();
        delete mirror;
        // Whatever network work is still finishing ends before the next round.
        testsupport::waitUntil([] { return VtClientCenter::NetworkThreadCount() == 0; }, ConnectTimeoutMs);

        std::printf("scale N=%d connect_ms=%lld all_connected_ms=%lld teardown_ms=%lld max_stall_ms=%lld threads=%d "
                    "rss_kb_per_receiver=%ld\n",
            n, static_cast<long long>(connectMs), static_cast<long long>(allConnectedMs),
            static_cast<long long>(teardownMs), static_cast<long long>(maxStallMs), threads, rssKbPerReceiver);
        std::fflush(stdout);
        if (!complete) {
            std::fprintf(stderr, "mirroring-bench: only %d of %d receivers connected\n", connected, n);
            allComplete = false;
        }
    }
    return allComplete;
}
}
