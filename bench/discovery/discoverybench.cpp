// One CCO watcher poll for S subsystems with R registered objects each,
// divided by the calls it makes (1 + S + S*R) times a raw round trip
// measured against the same cco-server in the same run; the server's
// resident memory before and after 10,000 registered entries; and how long
// the discovery classes take to let go while their work is under way.
#include "ccowatcher.h"
#include "destructiontimes.h"
#include "serverprocess.h"

#include <orbhandler.h>
#include <orbhandlerhost.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace
{
const QString category = QStringLiteral("CentralServices/Receiver/PulseAnalysis");

// Calls the watcher's poll step directly, on this thread, so that only the
// CCO traffic of one poll is timed; its timer is never due.
class PollingWatcher : public externalCCODriver::CCOWatcher
{
public:
    PollingWatcher(const QString &categoryPath)
        : CCOWatcher(std::numeric_limits<int>::max(), 10, categoryPath)
    {
    }
    using CCOWatcher::updateFromCCO;
};

double since(Clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

CCO::IF_CCO_c_var cco()
{
    return CCO::IF_CCO_c_var(CorbaCommon::OrbHandler::Instance().GetCCO());
}

CCO::StringList entryValues(int n)
{
    CCO::StringList list;
    list.length(4);
    list[0] = CORBA::string_dup(QStringLiteral("host%1").arg(n).toLatin1().constData());
    list[1] = CORBA::string_dup(QStringLiteral("host%1_Receiver").arg(n).toLatin1().constData());
    list[2] = CORBA::string_dup("PulseAnalysis");
    list[3] = CORBA::string_dup(QByteArray::number(20000 + n).constData());
    return list;
}

QString subsystemName(int i)
{
    return QStringLiteral("Sub%1").arg(i);
}

QString objectPath(const QString &subsystem, const QString &categoryPath, int object)
{
    return QStringLiteral("CCO/LocalSystem/SubSystems/%1/%2/Rx%3").arg(subsystem, categoryPath).arg(object);
}

long residentKb(pid_t pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

std::unique_ptr<testsupport::ServerProcess> startServer(int port, int subsystems)
{
    QStringList names;
    for (int i = 1; i <= subsystems; ++i)
        names << subsystemName(i);
    auto server = testsupport::startCcoServer(
        {"--quiet", "--port", QString::number(port), "--subsystems", names.join(','), "--subsystem", subsystemName(1)});
    if (!server->ready()) {
        std::fprintf(stderr, "discovery-bench: cco-server did not start: %s\n", qPrintable(server->errorText()));
        return nullptr;
    }
    return server;
}

struct Row
{
    int s;
    int r;
    int calls;
    double pollUs;
    double resolveUs;
    double nonExistentUs;
};
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Times CCO watcher polls against a cco-server process.");
    parser.addHelpOption();
    parser.addOptions({
        {"polls", "Polls timed per configuration.", "n", "30"},
        {"roundtrips", "Raw round trips timed per configuration.", "n", "500"},
        {"entries", "Entries registered for the memory figure (0: skip).", "n", "10000"},
        {"no-destruction", "Skip the destruction times (about 30 s)."},
    });
    parser.process(app);
    const int polls = std::max(1, parser.value("polls").toInt());
    const int roundTrips = std::max(1, parser.value("roundtrips").toInt());
    const int entries = std::max(0, parser.value("entries").toInt());
    // Stated, so that the destruction table can give its bounds.
    const int callTimeoutMs = 3000;

    // The ORB's reference to the CCO names host and port, so every server of
    // this run listens on the same port and the reference stays valid.
    const int port = testsupport::freeLoopbackPort();
    if (!CorbaCommon::OrbHandlerHost::Init({"-ORBInitRef", QStringLiteral("CCO=corbaloc::127.0.0.1:%1/CCO").arg(port),
            "-ORBclientCallTimeOutPeriod", QString::number(callTimeoutMs)})) {
        std::fprintf(stderr, "discovery-bench: the ORB did not come up\n");
        return 1;
    }

    std::vector<Row> rows;
    for (int s : {1, 10}) {
        auto server = startServer(port, s);
        if (!server || !CorbaCommon::OrbHandler::Instance().ConnectToCCO(2, 500)) {
            std::fprintf(stderr, "discovery-bench: no CCO\n");
            return 1;
        }
        for (int r : {10, 100}) {
            const QString categoryPath = category + QStringLiteral("/R%1").arg(r);
            for (int i = 1; i <= s; ++i) {
                for (int j = 1; j <= r; ++j)
                    cco()->RegisterValues(objectPath(subsystemName(i), categoryPath, j).toLatin1().constData(),
                        entryValues(j), CCO::RT_Single);
            }

            PollingWatcher watcher(categoryPath);
            int found = -1;
            QObject::connect(&watcher, &externalCCODriver::CCOWatcher::resultListChanged,
                [&](const externalCCODriver::CCOWatcher::CCOValuesList &list) { found = list.size(); });
            watcher.init();
            watcher.updateFromCCO(); // also warms the connection
            if (found != s * r) {
                std::fprintf(stderr, "discovery-bench: the poll found %d objects instead of %d\n", found, s * r);
                return 1;
            }
            // The same kind of call the poll makes most: one object's values.
            // Round trips are timed between the polls, so that both see the
            // same load on the machine.
            const QByteArray one = objectPath(subsystemName(1), categoryPath, 1).toLatin1();
            CCO::IF_CCO_c_var ref = cco();
            std::vector<double> pollUs;
            std::vector<double> resolveUs;
            std::vector<double> nonExistentUs;
            const int tripsPerPoll = std::max(1, roundTrips / polls);
            for (int p = 0; p < polls; ++p) {
                for (int k = 0; k < tripsPerPoll; ++k) {
                    auto start = Clock::now();
                    CCO::StringList_var values = ref->ResolveValues(one.constData(), CCO::RM_Default);
                    resolveUs.push_back(since(start));
                    start = Clock::now();
                    ref->_non_existent();
                    nonExistentUs.push_back(since(start));
                }
                const auto start = Clock::now();
                watcher.updateFromCCO();
                pollUs.push_back(since(start));
            }
            rows.push_back({s, r, 1 + s + s * r, median(pollUs), median(resolveUs), median(nonExistentUs)});
        }
        server->stop();
    }

    std::printf(
        "One watcher poll against cco-server on loopback (medians of %d polls, %d round trips)\n", polls, roundTrips);
    std::printf("%4s %5s %6s %10s %12s %14s %13s %13s\n", "S", "R", "calls", "poll ms", "per call us", "ResolveValues",
        "ratio", "_non_existent");
    std::printf("%4s %5s %6s %10s %12s %14s %13s %13s\n", "", "", "", "", "", "us", "poll/(c*rv)", "us");
    for (const Row &row : rows) {
        std::printf("%4d %5d %6d %10.2f %12.1f %14.1f %13.2f %13.1f\n", row.s, row.r, row.calls, row.pollUs / 1000.0,
            row.pollUs / row.calls, row.resolveUs, row.pollUs / (row.calls * row.resolveUs), row.nonExistentUs);
    }

    if (entries > 0) {
        auto server = startServer(port, 10);
        if (!server || !CorbaCommon::OrbHandler::Instance().ConnectToCCO(2, 500))
            return 1;
        const long before = residentKb(server->pid());
        const auto start = Clock::now();
        for (int n = 0; n < entries; ++n) {
            cco()->RegisterValues(objectPath(subsystemName(1 + n % 10), category, n).toLatin1().constData(),
                entryValues(n), CCO::RT_Single);
        }
        const double registerUs = since(start) / entries;
        const long after = residentKb(server->pid());
        std::printf("\ncco-server resident memory (VmRSS), %d entries of 4 strings in 10 subsystems\n", entries);
        std::printf("%12s %12s %14s %16s\n", "before kB", "after kB", "bytes/entry", "RegisterValues us");
        std::printf("%12ld %12ld %14.0f %16.1f\n", before, after, (after - before) * 1024.0 / entries, registerUs);
        server->stop();
    }

    if (!parser.isSet("no-destruction")) {
        // This server logs its calls: the cases follow the work by its log.
        auto server = testsupport::startCcoServer(
            {"--port", QString::number(port), "--subsystems", subsystemName(1), "--subsystem", subsystemName(1)});
        if (!server->ready() || !CorbaCommon::OrbHandler::Instance().ConnectToCCO(2, 500)) {
            std::fprintf(stderr, "discovery-bench: no CCO for the destruction times\n");
            return 1;
        }
        const auto rows = discoverybench::measureDestructionTimes(*server, callTimeoutMs);
        std::printf("\nDestruction while the work is under way (call timeout %d ms)\n", callTimeoutMs);
        std::printf("%-46s %10s %10s  %s\n", "case", "ms", "bound ms", "outcome");
        for (const auto &row : rows) {
            const QString ms = row.ms < 0 ? QStringLiteral("-") : QString::number(row.ms, 'f', 1);
            std::printf("%-46s %10s %10s  %s\n", qPrintable(row.what), qPrintable(ms), qPrintable(row.bound),
                qPrintable(row.outcome));
        }
        server->stop();
    }
    CorbaCommon::OrbHandlerHost::Shutdown();
    return 0;
}
