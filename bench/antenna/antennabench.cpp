// How long an antenna change takes to reach the matrix: from the change of
// the ANTENNA selection to the return of the matrix-server's connect, over
// many switches, next to the round trips that a switch is made of; and a
// burst of changes that must end in exactly one switching run.
//
// The latency is taken in this process with one monotonic clock: the value
// is changed, the event loop runs, and the switch counts as done when the
// event loop gets control back after the run's connect has been traced,
// i.e. once connect has returned (the server has served it and its reply
// has arrived). The run's own traces split it into the wait for the 20 ms
// timer plus the matrix lookup, and the disconnect plus connect.
#include "antennacomm.h"
#include "serverprocess.h"

#include "errorhandler.h"
#include "icfg.h"
#include "orbconnection.h"
#include "orbhandler.h"
#include "orbhandlerhost.h"
#include "tracesettings.h"
#include "tree.h"
#include "treehost.h"
#include "value.h"
#include "valueselection.h"
#include "vornos.h"
#include "vornoshost.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace
{
const char *const devicePath = "/DEVICES/BENCH";
const double debounceMs = 20.0;

struct Stats
{
    double median = 0;
    double p99 = 0;
    double min = 0;
};

Stats stats(std::vector<double> v)
{
    Stats s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.median = v[v.size() / 2];
    s.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
    s.min = v.front();
    return s;
}

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Round trip of one call, in ms, over `iterations` calls after a warm-up.
Stats roundTrip(int iterations, const std::function<void()> &call)
{
    for (int i = 0; i < 20; ++i)
        call();
    std::vector<double> ms;
    ms.reserve(std::size_t(iterations));
    for (int i = 0; i < iterations; ++i) {
        const auto start = Clock::now();
        call();
        ms.push_back(msSince(start));
    }
    return stats(ms);
}

// The same after 20 ms of idling, as a switching run meets the servers: by
// then their threads (and this one) have gone to sleep and each call pays
// for waking them.
Stats idleRoundTrip(int iterations, const std::function<void()> &call)
{
    std::vector<double> ms;
    for (int i = 0; i < iterations; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const auto start = Clock::now();
        call();
        ms.push_back(msSince(start));
    }
    return stats(ms);
}

// Driver traces of the switching run, stamped on arrival.
class RunTraces
{
public:
    RunTraces()
    {
        TraceSettings::SetTraceFilter(ErrorHandler::TraceDriver);
        // Only the stamps matter; the trace lines themselves go nowhere.
        TraceSettings::SetTraceFile(QStringLiteral("/dev/null"));
        TraceSettings::SetTraceCapture([this](const QString &line) {
            const auto now = Clock::now();
            std::lock_guard<std::mutex> lock(mutex);
            if (line.endsWith(QLatin1String(" Call Connect Antenna"))) {
                ++runs;
                runStart = now;
            } else if (line.contains(QLatin1String("Call Connect Antenna with slots:"))) {
                ++connects;
                connectStart = now;
            }
        });
    }
    ~RunTraces() { TraceSettings::SetTraceCapture({}); }

    int runCount() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return runs;
    }
    int connectCount() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return connects;
    }
    Clock::time_point lastRunStart() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return runStart;
    }

private:
    mutable std::mutex mutex;
    int runs = 0;
    int connects = 0;
    Clock::time_point runStart;
    Clock::time_point connectStart;
};

template <typename T> T *addValue(const QString &parent, const QString &name)
{
    auto *value = new T;
    value->SetName(name, nullptr);
    values::Tree::Instance()->AddValue(parent, value);
    return value;
}

int fail(const char *what)
{
    std::fprintf(stderr, "antenna-bench: %s\n", what);
    return 1;
}

int intOption(int argc, char **argv, const char *name, int def)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0)
            return std::atoi(argv[i + 1]);
    }
    return def;
}
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("usage: antenna-bench [--switches N] [--iterations N]\n"
                        "Antenna switching latency against real cco-server and matrix-server processes.\n");
            return 0;
        }
    }
    const int switches = std::max(10, intOption(argc, argv, "--switches", 300));
    const int iterations = std::max(10, intOption(argc, argv, "--iterations", 1000));

    auto cco = testsupport::startCcoServer({QStringLiteral("--quiet")});
    if (!cco->ready())
        return fail("cco-server did not start");
    auto matrixServer = testsupport::startMatrixServer(cco->corbaloc(),
        {QStringLiteral("--workstation"), QStringLiteral("BENCHWS"), QStringLiteral("--id"), QStringLiteral("1"),
            QStringLiteral("--quiet")});
    if (!matrixServer->ready() || matrixServer->waitForLine(QStringLiteral("REGISTERED"), 5000) < 0)
        return fail("matrix-server did not start or register");

    auto &orb = CorbaCommon::OrbHandler::Instance();
    if (!CorbaCommon::OrbHandlerHost::Init({QStringLiteral("-ORBInitRef"), QStringLiteral("CCO=") + cco->corbaloc()})
        || !orb.ConnectToCCO(2, 500))
        return fail("no ORB or no CCO");
    VornOSHost::SetComputerNameOverride(L"BENCHWS");

    values::TreeHost::Create();
    const QString device = QString::fromLatin1(devicePath);
    addValue<values::Value<int>>(device + QStringLiteral("/ANTENNAS/A"), QStringLiteral("ExternalNumber"))
        ->SetValue(2, nullptr);
    addValue<values::Value<int>>(device + QStringLiteral("/ANTENNAS/B"), QStringLiteral("ExternalNumber"))
        ->SetValue(5, nullptr);
    addValue<values::Value<int>>(device + QStringLiteral("/ANTENNAS/C"), QStringLiteral("ExternalNumber"))
        ->SetValue(6, nullptr);
    addValue<values::Value<int>>(device + QStringLiteral("/ANTENNAS"), QStringLiteral("MatrixOut"))
        ->SetValue(3, nullptr);
    auto *antenna = addValue<values::ValueSelection>(device, QStringLiteral("ANTENNA"));
    antenna->SetItems({QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C")}, nullptr);
    auto *status = addValue<values::ValueSelection>(device, QStringLiteral("HARDWARESTATUS"));
    status->SetItems({QStringLiteral("RUNNING")}, nullptr);
    status->SetSelectedItem(QStringLiteral("RUNNING"), nullptr);
    addValue<values::Value<QString>>(device, QStringLiteral("LASTDRIVERERROR"));

    int exitCode = 0;
    {
        RunTraces traces;
        AntennaComm comm;
        // Every key at its default: matrix 1, this workstation's name.
        struct DefaultCfg : ICfg
        {
            QString ReadString(QString, QString def, bool) override { return def; }
            int ReadInt(QString, int def, bool) override { return def; }
            bool ReadBool(QString, bool def, bool) override { return def; }
        } defaults;
        if (!comm.init(device, &defaults))
            return fail("AntennaComm::init did not find the matrix manager");

        // The round trips that a switch is made of, measured the same way.
        CORBA::Object_var object
            = CorbaCommon::OrbHandlerHost::Orb()->string_to_object(matrixServer->corbaloc().toLatin1().constData());
        MatrixManager::IF_MMR_c_var direct = MatrixManager::IF_MMR_c::_narrow(object);
        const QString matrixPath
            = QStringLiteral("CCO/LocalSystem/LocalSubSystem/Workstations/BENCHWS/AntennaMatrixManager1/IF_MMR_c");
        CCO::IF_CCO_c_var ccoRef = orb.GetCCO();
        // Both servers and this process warm up first: the first few hundred
        // calls after start-up are several times slower than the rest.
        const auto warmUp = Clock::now();
        while (msSince(warmUp) < 300) {
            direct->init();
            CORBA::String_var name = ccoRef->GetSystemName();
        }
        const Stats attributeRt = roundTrip(iterations, [&] { direct->init(); });
        const Stats ccoRt = roundTrip(iterations, [&] { CORBA::String_var name = ccoRef->GetSystemName(); });
        const auto switchPair = [&] {
            direct->connect(7, 4);
            direct->disconnect(7, 4);
        };
        const auto lookupAsInTheRun = [&] {
            bool ok = false;
            CORBA::Object_var found = ORBConnection::instance()->resolveInterface(matrixPath, &ok);
            MatrixManager::IF_MMR_c_var narrowed = MatrixManager::IF_MMR_c::_narrow(found);
        };
        const Stats resolveRt = roundTrip(iterations, lookupAsInTheRun);
        const Stats switchRt = roundTrip(iterations / 2, switchPair);
        const int idleIterations = std::max(20, switches / 3);
        const Stats idleAttributeRt = idleRoundTrip(idleIterations, [&] { direct->init(); });
        const Stats idleLookup = idleRoundTrip(idleIterations, lookupAsInTheRun);
        const Stats idleSwitch = idleRoundTrip(idleIterations, switchPair);
        // The bare 20 ms coarse timer on this event loop.
        std::vector<double> timerMs;
        for (int i = 0; i < 50; ++i) {
            QElapsedTimer t;
            t.start();
            bool fired = false;
            QTimer::singleShot(20, Qt::CoarseTimer, [&] { fired = true; });
            while (!fired)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            timerMs.push_back(double(t.nsecsElapsed()) / 1e6);
        }
        const Stats timer = stats(timerMs);

        // Switching latency: alternate between the two antennas.
        std::vector<double> totalMs, lookupMs, callsMs;
        totalMs.reserve(std::size_t(switches));
        int lastRuns = traces.runCount();
        for (int i = 0; i < switches; ++i) {
            const int connects = traces.connectCount();
            const auto start = Clock::now();
            antenna->SetSelectedItem(i % 2 ? QStringLiteral("B") : QStringLiteral("A"), nullptr);
            while (traces.connectCount() == connects) {
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
                if (msSince(start) > 5000)
                    return fail("a switch did not happen within 5 s");
            }
            // The run (and its connect) is over once the event loop is back.
            const double total = msSince(start);
            const Clock::time_point runStart = traces.lastRunStart();
            if (i == 0)
                continue; // the first switch has no previous input to disconnect
            totalMs.push_back(total);
            lookupMs.push_back(std::chrono::duration<double, std::milli>(runStart - start).count());
            callsMs.push_back(total - lookupMs.back());
        }
        const int switchRuns = traces.runCount() - lastRuns;
        const Stats total = stats(totalMs);
        const Stats lookup = stats(lookupMs);
        const Stats calls = stats(callsMs);
        std::vector<double> beyond;
        for (double t : totalMs)
            beyond.push_back(t - debounceMs);
        const Stats overDebounce = stats(beyond);

        // 100 changes in quick succession, the event loop running between
        // them (about 1 ms apart): one run, 20 ms after the last change.
        const int runsBefore = traces.runCount();
        const int connectsBefore = traces.connectCount();
        // Changes between the two antennas that are not connected, so that
        // every one is a change and the last one needs a switch.
        const QString connected = antenna->GetStringValue();
        QStringList others {QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C")};
        others.removeAll(connected);
        const auto burstStart = Clock::now();
        double widestGapMs = 0;
        auto previous = Clock::now();
        for (int i = 0; i < 100; ++i) {
            antenna->SetSelectedItem(others.at(i % 2), nullptr);
            widestGapMs = std::max(widestGapMs, msSince(previous));
            previous = Clock::now();
            while (msSince(previous) < 1.0)
                QCoreApplication::processEvents(QEventLoop::AllEvents);
        }
        const double burstMs = msSince(burstStart);
        const auto lastChange = previous;
        while (traces.connectCount() == connectsBefore && msSince(lastChange) < 5000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const double afterLastMs = msSince(lastChange);
        // A second, stray run would come within 20 ms; wait well beyond.
        while (msSince(lastChange) < afterLastMs + 200)
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        const int burstRuns = traces.runCount() - runsBefore;
        const int burstConnects = traces.connectCount() - connectsBefore;

        const double floorMs = debounceMs + resolveRt.median + switchRt.median;
        const double idleFloorMs = timer.median + idleLookup.median + idleSwitch.median;
        const auto row = [](const char *what, const Stats &st) {
            std::printf("  %-56s %10.3f %10.3f\n", what, st.median, st.p99);
        };
        std::printf("\nAntenna switching: ANTENNA change -> matrix-server's connect returned, %d switches\n\n",
            int(totalMs.size()));
        std::printf("  %-56s %10s %10s\n", "", "median ms", "p99 ms");
        std::printf("round trips, back to back\n");
        row("two-way call to matrix-server (_get_init)", attributeRt);
        row("two-way call to cco-server (GetSystemName)", ccoRt);
        row("lookup as in the run (CCO Resolve + narrow)", resolveRt);
        row("disconnect + connect", switchRt);
        std::printf("round trips after 20 ms idle, as a switching run meets them\n");
        row("two-way call to matrix-server (_get_init)", idleAttributeRt);
        row("lookup as in the run (CCO Resolve + narrow)", idleLookup);
        row("disconnect + connect", idleSwitch);
        std::printf("timer\n");
        row("bare 20 ms coarse timer on the event loop", timer);
        std::printf("switch\n");
        row("change -> connect returned", total);
        row("  minus the 20 ms debounce", overDebounce);
        row("  of which: timer + lookup (change -> first run trace)", lookup);
        row("  of which: disconnect + connect", calls);
        std::printf("  %-56s %10.3f\n", "floor, back to back: 20 ms + lookup + disc. + connect", floorMs);
        std::printf("  %-56s %10.3f\n", "floor, idle: timer + lookup + disc. + connect", idleFloorMs);
        std::printf("ratios (medians)\n");
        std::printf("  %-56s %10.2f\n", "(switch - 20 ms) / back-to-back two-way call",
            overDebounce.median / attributeRt.median);
        std::printf(
            "  %-56s %10.2f\n", "(switch - 20 ms) / idle two-way call", overDebounce.median / idleAttributeRt.median);
        std::printf("  %-56s %10.2f\n", "switch / idle floor", total.median / idleFloorMs);
        std::printf("  %-56s %10d\n", "switching runs for the switches", switchRuns);
        std::printf("\n100 changes, event loop running between them: %.1f ms in all, widest gap %.2f ms\n", burstMs,
            widestGapMs);
        std::printf("  switching runs: %d, connects: %d, run %.1f ms after the last change\n", burstRuns, burstConnects,
            afterLastMs);
        if (widestGapMs >= debounceMs) {
            // A loaded machine stalled this process for longer than the
            // debounce: the burst was no quick succession, so more than one
            // run is right.
            std::printf("  (a gap of 20 ms or more: not counted as a debounce result)\n");
        } else if (burstRuns != 1 || burstConnects != 1) {
            std::printf("  FAILED: expected exactly one switching run\n");
            exitCode = 1;
        }
        if (switchRuns != switches)
            exitCode = 1;
        std::fflush(stdout);
        ccoRef = CCO::IF_CCO_c::_nil();
        direct = MatrixManager::IF_MMR_c::_nil();
    }
    values::TreeHost::Destroy();
    CorbaCommon::OrbHandlerHost::Shutdown();
    return exitCode;
}
