// Receiver mirroring against real processes: a cco-server, N receiver hosts
// (vorn-host serving its tree) and a ReceiverCCO in this process, for N = 1,
// 10, 50 (or --receivers). Per round:
//  - registration at the CCO to receiverConnected. ReceiverCCO polls every
//    5000 ms (fixed), so this is bounded by the poll interval plus one query
//    plus the connection; split into registration -> list and list ->
//    connected;
//  - a remote value change (SetValue at the receiver's tree server) to the
//    change of the local mirror, as a ratio to a raw round trip (GetValue) to
//    the same server measured in the same run;
//  - resident memory of this process per mirrored receiver.
// With --scale it instead lists N = 100, 500, 1000 receivers at once and
// prints one "scale N=..." line for each (see scaleround.h).
#include "benchhosts.h"
#include "scaleround.h"

#include "ccowatcher.h"
#include "iobserver.h"
#include "orbhandler.h"
#include "orbhandlerhost.h"
#include "receivercco.h"
#include "serverprocess.h"
#include "tree.h"
#include "valuebase.h"
#include "vtclientcenter.h"
#include "waituntil.h"

#include <valuetree.hh>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

using namespace externalCCODriver::mirroring;
using Clock = std::chrono::steady_clock;

namespace
{
const QString category = QStringLiteral("CCO/LocalSystem/LocalSubSystem/CentralServices/Receiver/PulseAnalysis/");

double msSince(Clock::time_point start, Clock::time_point end = Clock::now())
{
    return std::chrono::duration<double, std::milli>(end - start).count();
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

long rssKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}

bool cco(const std::function<void(CCO::IF_CCO_c_ptr)> &call)
{
    CCO::IF_CCO_c_var ref = CorbaCommon::OrbHandler::Instance().GetCCO();
    if (CORBA::is_nil(ref))
        return false;
    try {
        call(ref);
        return true;
    } catch (const CORBA::Exception &) {
        return false;
    }
}

bool registerReceiver(int i, int port)
{
    return cco([&](CCO::IF_CCO_c_ptr ref) {
        CCO::StringList list;
        list.length(4);
        list[0] = CORBA::string_dup("127.0.0.1");
        list[1] = CORBA::string_dup(QStringLiteral("RX%1").arg(i).toLatin1().constData());
        list[2] = CORBA::string_dup("bench");
        list[3] = CORBA::string_dup(QByteArray::number(port).constData());
        ref->RegisterValues((category + QStringLiteral("RX%1").arg(i)).toLatin1().constData(), list, CCO::RT_Single);
    });
}

void unregisterReceiver(int i)
{
    cco([&](CCO::IF_CCO_c_ptr ref) {
        ref->UnregisterValues((category + QStringLiteral("RX%1").arg(i)).toLatin1().constData(), CCO::RT_Single);
    });
}

QString ipOf(int i)
{
    return QStringLiteral("10.77.%1.%2").arg(i / 250).arg(i % 250 + 1);
}

VornValueTree::TreeServer_var treeServer(int port)
{
    CORBA::Object_var object = CorbaCommon::OrbHandlerHost::Orb()->string_to_object(
        VtClientCenter::ServerAddress(QStringLiteral("127.0.0.1"), port).toLatin1().constData());
    return VornValueTree::TreeServer::_narrow(object);
}

// Stamps the time of each change of one local value.
class ChangeStamp : public IObserver
{
public:
    explicit ChangeStamp(values::ValueBase *value)
        : value(value)
    {
        value->AddObserver(this);
    }
    ~ChangeStamp() override
    {
        if (value)
            value->DeleteObserver(this);
    }
    void Notify(Observable *, unsigned int code) override
    {
        if (code == 3) {
            last = Clock::now();
            text = value->GetStringValue();
        } else if (code == 2 && value->GetState() == values::ValueBase::StateReleased) {
            value->DeleteObserver(this);
            value = nullptr;
        }
    }
    values::ValueBase *value;
    Clock::time_point last;
    QString text;
};

struct Round
{
    int receivers = 0;
    std::vector<double> regToList;
    std::vector<double> listToConnected;
    std::vector<double> regToConnected;
    std::vector<double> changeToMirror;
    std::vector<double> roundTrip;
    double kbPerReceiver = 0;
    bool complete = false;
};
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Receiver mirroring benchmark against real processes."));
    parser.addHelpOption();
    const QCommandLineOption receiversOption(QStringLiteral("receivers"),
        QStringLiteral("Comma-separated receiver counts (default 1,10,50)."), QStringLiteral("LIST"),
        QStringLiteral("1,10,50"));
    const QCommandLineOption changesOption(QStringLiteral("changes"),
        QStringLiteral("Remote value changes timed per round (default 40)."), QStringLiteral("N"),
        QStringLiteral("40"));
    const QCommandLineOption scaleOption(QStringLiteral("scale"),
        QStringLiteral("Only the installation-scale rounds, for these comma-separated receiver counts "
                       "(e.g. 100,500,1000)."),
        QStringLiteral("LIST"));
    parser.addOption(receiversOption);
    parser.addOption(changesOption);
    parser.addOption(scaleOption);
    parser.process(app);
    if (parser.isSet(scaleOption)) {
        std::vector<int> scaleCounts;
        for (const QString &item : parser.value(scaleOption).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const int n = item.toInt();
            if (n < 1 || n > 5000) {
                std::fprintf(stderr, "mirroring-bench: scale counts must lie in 1..5000, not '%s'\n", qPrintable(item));
                return 2;
            }
            scaleCounts.push_back(n);
        }
        return mirroringtest::runScaleRounds(scaleCounts) ? 0 : 1;
    }
    std::vector<int> counts;
    for (const QString &item : parser.value(receiversOption).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const int n = item.toInt();
        if (n < 1 || n > 200) {
            std::fprintf(stderr, "mirroring-bench: receiver counts must lie in 1..200, not '%s'\n", qPrintable(item));
            return 2;
        }
        counts.push_back(n);
    }
    const int changes = std::max(1, parser.value(changesOption).toInt());
    const int maxReceivers = counts.empty() ? 0 : *std::max_element(counts.begin(), counts.end());

    const int ccoPort = testsupport::freeLoopbackPort();
    auto ccoServer
        = testsupport::startCcoServer({QStringLiteral("--port"), QString::number(ccoPort), QStringLiteral("--quiet")});
    if (!ccoServer->ready()) {
        std::fprintf(stderr, "mirroring-bench: cco-server: %s\n", qPrintable(ccoServer->errorText()));
        return 1;
    }
    mirroringtest::ensureOrb(0, ccoPort);
    CorbaCommon::OrbHandler::Instance().ConnectToCCO(2, 500);

    std::fprintf(stderr, "starting %d receiver hosts...\n", maxReceivers);
    std::vector<std::unique_ptr<mirroringtest::HostProcess>> hosts;
    std::vector<int> ports;
    auto launch = [&](int i, int port) {
        auto host = std::make_unique<mirroringtest::HostProcess>(mirroringtest::hostArguments(ccoPort, port));
        if (!host->start())
            return std::unique_ptr<mirroringtest::HostProcess>();
        host->send(QStringLiteral("mkvalue string /DEVICES/RX/Frequency 0"));
        host->send(QStringLiteral("receiver %1 - 127.0.0.1 %2 /DEVICES/RX").arg(port).arg(ipOf(i)));
        return host;
    };
    for (int i = 0; i < maxReceivers; ++i) {
        const int port = testsupport::freeLoopbackPort();
        hosts.push_back(launch(i, port));
        ports.push_back(port);
    }
    for (int i = 0; i < maxReceivers; ++i) {
        // A port found free may be taken by the time the host binds it: such
        // a host gets another one.
        for (int attempt = 0; attempt < 3; ++attempt) {
            auto &host = hosts[static_cast<size_t>(i)];
            if (host && host->waitForLine(QStringLiteral("READY"), 15000) >= 0)
                break;
            if (attempt == 2) {
                std::fprintf(stderr, "mirroring-bench: receiver host %d not ready:\n%s\n", i,
                    host ? qPrintable(host->diagnostics()) : "");
                return 1;
            }
            ports[static_cast<size_t>(i)] = testsupport::freeLoopbackPort();
            host = launch(i, ports[static_cast<size_t>(i)]);
        }
    }

    QObject parent;
    auto *mirror = new ReceiverCCO(parent);
    std::map<QString, Clock::time_point> connectedAt;
    int connectedNow = 0;
    QObject::connect(mirror, &ReceiverCCO::receiverConnected, &parent,
        [&](const CcoReceiverProperties &p) { connectedAt.emplace(p.ip, Clock::now()); });
    QObject::connect(mirror, &ReceiverCCO::receiverDisconnected, &parent, [&](int) { --connectedNow; });
    CcoInitParameters parameters;
    parameters.subTreePattern = QStringLiteral("/BENCH/RX%1");
    parameters.mirroredValues = QStringList {QStringLiteral("Frequency")};
    mirror->init(parameters);
    // Lists reaching the mirror, stamped on its thread.
    std::vector<std::pair<Clock::time_point, int>> lists;
    QObject::connect(mirror->findChild<externalCCODriver::CCOWatcher *>(),
        &externalCCODriver::CCOWatcher::resultListChanged, &parent,
        [&](const externalCCODriver::CCOWatcher::CCOValuesList &list) {
            lists.emplace_back(Clock::now(), list.size());
        });
    // The watcher's first query runs on its third poll; a dummy entry that
    // the mirror skips shows when it is polling.
    cco([](CCO::IF_CCO_c_ptr ref) {
        CCO::StringList list;
        list.length(1);
        list[0] = CORBA::string_dup("warm-up");
        ref->RegisterValues((category + QStringLiteral("warmup")).toLatin1().constData(), list, CCO::RT_Single);
    });
    std::fprintf(stderr, "waiting for the watcher's first list (about 15 s)...\n");
    if (!testsupport::waitUntil([&] { return !lists.empty(); }, 30000)) {
        std::fprintf(stderr, "mirroring-bench: the watcher never listed anything\n");
        return 1;
    }

    std::vector<Round> rounds;
    for (int n : counts) {
        Round round;
        round.receivers = n;
        connectedAt.clear();
        // Registrations land at a random point of the watcher's 5000 ms cycle.
        const auto lastList = lists.empty() ? Clock::now() : lists.back().first;
        lists.clear();
        const int phase = static_cast<int>(QRandomGenerator::global()->bounded(5000));
        testsupport::waitUntil([&] { return msSince(lastList) >= phase; }, 6000);
        const long rssBefore = rssKb();
        std::vector<Clock::time_point> registeredAt(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            registeredAt[static_cast<size_t>(i)] = Clock::now();
            registerReceiver(i, ports[static_cast<size_t>(i)]);
        }
        std::fprintf(stderr, "round %d: registered, waiting for the mirror...\n", n);
        round.complete = testsupport::waitUntil([&] { return static_cast<int>(connectedAt.size()) >= n; }, 20000, 1);
        for (int i = 0; i < n; ++i) {
            const auto it = connectedAt.find(ipOf(i));
            if (it == connectedAt.end())
                continue;
            const auto reg = registeredAt[static_cast<size_t>(i)];
            round.regToConnected.push_back(msSince(reg, it->second));
            // The first list after the registration that holds it.
            for (const auto &list : lists) {
                if (list.first >= reg) {
                    round.regToList.push_back(msSince(reg, list.first));
                    round.listToConnected.push_back(msSince(list.first, it->second));
                    break;
                }
            }
        }
        connectedNow = n;
        round.kbPerReceiver = static_cast<double>(rssKb() - rssBefore) / n;

        // Remote changes, round robin over the receivers.
        std::vector<std::unique_ptr<ChangeStamp>> stamps;
        std::vector<VornValueTree::TreeServer_var> servers;
        for (int i = 0; i < n; ++i) {
            values::ValueBase *value = nullptr;
            const QString prefix = QStringLiteral("/BENCH/RX");
            for (int index = 0; index < 1000 && !value; ++index) {
                values::ValueBase *ip = values::Tree::Instance()->FindValue(
                    prefix + QString::number(index) + QStringLiteral("/ADMINISTRATION/Ip"));
                if (ip && ip->GetStringValue() == ipOf(i))
                    value = values::Tree::Instance()->FindValue(
                        prefix + QString::number(index) + QStringLiteral("/Frequency"));
            }
            stamps.push_back(value ? std::make_unique<ChangeStamp>(value) : nullptr);
            servers.push_back(treeServer(ports[static_cast<size_t>(i)]));
        }
        for (int c = 0; c < changes; ++c) {
            const size_t i = static_cast<size_t>(c % n);
            if (!stamps[i] || CORBA::is_nil(servers[i]))
                continue;
            const QByteArray text = QByteArray::number(1000 + c);
            try {
                const auto before = Clock::now();
                CORBA::String_var echoed = servers[i]->GetValue("/ADMINISTRATION/Ip");
                round.roundTrip.push_back(msSince(before));
            } catch (const CORBA::Exception &) {
            }
            // SetValue returns once the receiver's host thread has written the
            // value; the mirror's change is stamped when this thread takes in
            // what the client's network thread posted.
            const auto start = Clock::now();
            double writeMs = 0;
            try {
                servers[i]->SetValue("/DEVICES/RX/Frequency", text.constData());
                writeMs = msSince(start);
            } catch (const CORBA::Exception &) {
            }
            const bool seen
                = testsupport::waitUntil([&] { return stamps[i]->text == QString::fromLatin1(text); }, 5000, 0);
            if (seen)
                round.changeToMirror.push_back(msSince(start, stamps[i]->last));
            if (qEnvironmentVariableIsSet("MIRRORING_BENCH_VERBOSE"))
                std::fprintf(stderr, "change %d rx %zu: rtt %.3f ms, write %.3f ms, mirror %.3f ms\n", c, i,
                    round.roundTrip.empty() ? 0.0 : round.roundTrip.back(), writeMs,
                    seen ? round.changeToMirror.back() : -1.0);
        }
        stamps.clear();

        for (int i = 0; i < n; ++i)
            unregisterReceiver(i);
        testsupport::waitUntil([&] { return VtClientCenter::Instance()->ClientCount() == 0; }, 20000);
        rounds.push_back(round);
    }
    delete mirror;

    std::printf("\nReceiver mirroring, ReceiverCCO poll interval 5000 ms (fixed)\n");
    std::printf("%9s | %-27s | %-23s | %-23s | %-29s | %8s\n", "receivers", "registration->connected ms",
        "registration->list ms", "list->connected ms", "remote change->mirror ms", "KB/recv");
    std::printf("%9s | %8s %8s %9s | %7s %7s %7s | %7s %7s %7s | %7s %7s %5s %7s | %8s\n", "", "min", "median", "max",
        "min", "median", "max", "min", "median", "max", "median", "p90", "/RTT", "RTT", "");
    for (const Round &r : rounds) {
        const double rtt = percentile(r.roundTrip, 0.5);
        const double change = percentile(r.changeToMirror, 0.5);
        std::printf(
            "%9d | %8.0f %8.0f %9.0f | %7.0f %7.0f %7.0f | %7.1f %7.1f %7.1f | %7.2f %7.2f %5.1f %7.3f | %8.0f%s\n",
            r.receivers, percentile(r.regToConnected, 0), percentile(r.regToConnected, 0.5),
            percentile(r.regToConnected, 1), percentile(r.regToList, 0), percentile(r.regToList, 0.5),
            percentile(r.regToList, 1), percentile(r.listToConnected, 0), percentile(r.listToConnected, 0.5),
            percentile(r.listToConnected, 1), change, percentile(r.changeToMirror, 0.9), rtt > 0 ? change / rtt : 0,
            rtt, r.kbPerReceiver, r.complete ? "" : "  (incomplete)");
    }
    std::printf("\nregistration->connected is bounded by the poll interval (5000 ms) plus one CCO query plus the\n"
                "connection; RTT is a GetValue round trip to the same receiver's tree server in this run.\n");
    for (const Round &r : rounds) {
        if (!r.complete)
            return 1;
    }
    return 0;
}
