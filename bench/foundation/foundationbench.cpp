// What a CCO call costs compared with the loopback floor: a raw TCP
// ping-pong, a small two-way call to a cco-server process, their ratio, the
// call rate from one and from four client threads, what the server's call
// log adds, Resolve of an object, and a registration with a state file in an
// empty store and in one of --entries bindings.
#include "serverprocess.h"

#include <orbhandler.h>
#include <orbhandlerhost.h>

#include <QCoreApplication>
#include <QTemporaryDir>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace
{
struct Stats
{
    double medianUs = 0;
    double meanUs = 0;
    double p99Us = 0;
};

Stats stats(std::vector<double> us)
{
    Stats s;
    if (us.empty())
        return s;
    std::sort(us.begin(), us.end());
    s.medianUs = us[us.size() / 2];
    s.p99Us = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    double sum = 0;
    for (double v : us)
        sum += v;
    s.meanUs = sum / double(us.size());
    return s;
}

double since(Clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

bool exact(int fd, char *buf, std::size_t n, bool write)
{
    std::size_t done = 0;
    while (done < n) {
        const ssize_t r = write ? ::write(fd, buf + done, n - done) : ::read(fd, buf + done, n - done);
        if (r <= 0)
            return false;
        done += std::size_t(r);
    }
    return true;
}

// Ping-pong of `size` bytes over a loopback TCP connection, Nagle off as
// the ORB has it.
Stats tcpPingPong(int iterations, std::size_t size)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);

    std::thread echo([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::vector<char> buf(size);
        while (exact(fd, buf.data(), size, false) && exact(fd, buf.data(), size, true)) {
        }
        ::close(fd);
    });

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    std::vector<char> buf(size, 'x');
    std::vector<double> us;
    us.reserve(std::size_t(iterations));
    for (int i = 0; i < iterations + iterations / 10; ++i) {
        const auto start = Clock::now();
        exact(fd, buf.data(), size, true);
        exact(fd, buf.data(), size, false);
        if (i >= iterations / 10) // warm-up left out
            us.push_back(since(start));
    }
    ::close(fd);
    echo.join();
    ::close(listener);
    return stats(us);
}

template <typename Call>
Stats timeCalls(int iterations, Call &&call)
{
    std::vector<double> us;
    us.reserve(std::size_t(iterations));
    for (int i = 0; i < iterations + iterations / 10; ++i) {
        const auto start = Clock::now();
        call();
        if (i >= iterations / 10)
            us.push_back(since(start));
    }
    return stats(us);
}

// Calls per second from `threads` threads, each with its own reference
// from the ORB handler, for `seconds`.
double callRate(int threads, double seconds)
{
    std::atomic<long> calls{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            CCO::IF_CCO_c_var cco = CorbaCommon::OrbHandler::Instance().GetCCO();
            long n = 0;
            while (!stop) {
                CORBA::String_var name = cco->GetSubSystemName();
                ++n;
            }
            calls += n;
        });
    }
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto &w : workers)
        w.join();
    return double(calls) / (since(start) / 1e6);
}

void row(const char *what, const Stats &s)
{
    std::printf("%-44s %10.1f %10.1f %10.1f\n", what, s.medianUs, s.meanUs, s.p99Us);
}
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int iterations = 5000;
    double seconds = 1.0;
    int entries = 10000;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--iterations") && i + 1 < argc) {
            iterations = std::max(10, std::atoi(argv[++i]));
        } else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) {
            seconds = std::max(0.1, std::atof(argv[++i]));
        } else if (!std::strcmp(argv[i], "--entries") && i + 1 < argc) {
            entries = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr,
                         "usage: %s [--iterations N] [--seconds S] [--entries N]\n"
                         "Measures loopback TCP ping-pong, CCO call round trips and call rates, and\n"
                         "registrations with a state file in a store of N entries (default 10000).\n",
                         argv[0]);
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
        }
    }

    auto quiet = testsupport::startCcoServer({"--quiet"});
    auto logging = testsupport::startCcoServer();
    if (!quiet->ready() || !logging->ready()) {
        std::fprintf(stderr, "foundation-bench: %s\n", qPrintable(quiet->errorText() + logging->errorText()));
        return 1;
    }
    auto &orb = CorbaCommon::OrbHandler::Instance();
    if (!CorbaCommon::OrbHandlerHost::Init({"-ORBInitRef", "CCO=" + quiet->corbaloc()}) || !orb.ConnectToCCO(2, 500)) {
        std::fprintf(stderr, "foundation-bench: cannot reach the cco-server\n");
        return 1;
    }
    CCO::IF_CCO_c_var cco = orb.GetCCO();
    CORBA::Object_var obj
        = CorbaCommon::OrbHandlerHost::Orb()->string_to_object(logging->corbaloc().toLatin1().constData());
    CCO::IF_CCO_c_var logged = CCO::IF_CCO_c::_narrow(obj);
    CCO::StringList three;
    three.length(3);
    for (CORBA::ULong i = 0; i < 3; ++i)
        three[i] = CORBA::string_dup("value");
    cco->RegisterValues("Bench/entry", three, CCO::RT_Single);
    logged->RegisterValues("Bench/entry", three, CCO::RT_Single);

    const Stats tcp = tcpPingPong(iterations, 64);
    const Stats small = timeCalls(iterations, [&] { CORBA::String_var s = cco->GetSubSystemName(); });
    const Stats resolve =
        timeCalls(iterations, [&] { CCO::StringList_var l = cco->ResolveValues("Bench/entry", CCO::RM_Default); });
    const Stats resolveLogged = timeCalls(
        iterations, [&] { CCO::StringList_var l = logged->ResolveValues("Bench/entry", CCO::RM_Default); });
    const Stats fresh = timeCalls(iterations / 5, [&] {
        CCO::_objref_IF_CCO_c *ref = orb.GetCCO();
        CCO::StringList_var l = ref->ResolveValues("Bench/entry", CCO::RM_Default);
        CORBA::release(ref);
    });
    cco->Register("Bench/object", cco, CCO::RT_Single);
    const Stats resolveObject =
        timeCalls(iterations, [&] { CORBA::Object_var o = cco->Resolve("Bench/object", CCO::RM_Default); });

    // Registration and removal with a state file, in an empty store and in a
    // full one, flushed to disk before each acknowledgement and every 50 ms.
    QTemporaryDir stateDir;
    const int registrations = std::max(10, iterations / 10);
    const auto cycles = [&](const QString &file, const QStringList &extra, int fill, Stats *empty, Stats *full) {
        auto server = testsupport::startCcoServer(QStringList{"--quiet", "--state-file", file} + extra, 60000);
        if (!server->ready()) {
            std::fprintf(stderr, "foundation-bench: %s\n", qPrintable(server->errorText()));
            return false;
        }
        CORBA::Object_var o
            = CorbaCommon::OrbHandlerHost::Orb()->string_to_object(server->corbaloc().toLatin1().constData());
        CCO::IF_CCO_c_var stored = CCO::IF_CCO_c::_narrow(o);
        const auto cycle = [&] {
            stored->RegisterValues("Bench/cycle", three, CCO::RT_Single);
            stored->UnregisterValues("Bench/cycle", CCO::RT_Single);
        };
        if (empty)
            *empty = timeCalls(registrations, cycle);
        for (int i = 0; i < fill; ++i)
            stored->RegisterValues(("Bench/Fill/" + std::to_string(i)).c_str(), three, CCO::RT_Single);
        if (full)
            *full = timeCalls(registrations, cycle);
        return true;
    };
    Stats flushedEmpty, flushedFull, batchedEmpty, batchedFull;
    const QString filled = stateDir.filePath("filled.state");
    if (!cycles(filled, {"--state-sync-ms", "50"}, entries, &batchedEmpty, &batchedFull) ||
        !cycles(filled, {}, 0, nullptr, &flushedFull) ||
        !cycles(stateDir.filePath("empty.state"), {}, 0, &flushedEmpty, nullptr))
        return 1;

    const double rate1 = callRate(1, seconds);
    const double rate4 = callRate(4, seconds);

    std::printf("foundation benchmark: loopback, %d round trips per row, %u cores\n", iterations,
                std::thread::hardware_concurrency());
    std::printf("%-44s %10s %10s %10s\n", "round trip", "median us", "mean us", "p99 us");
    row("raw TCP ping-pong, 64 bytes (floor)", tcp);
    row("CCO GetSubSystemName (two-way, small)", small);
    row("CCO ResolveValues, 3 strings", resolve);
    row("CCO ResolveValues, 3 strings, server logging", resolveLogged);
    row("GetCCO + ResolveValues + release", fresh);
    row("CCO Resolve of an object", resolveObject);
    const std::string full = "  the same, " + std::to_string(entries) + " entries stored";
    row("Register+UnregisterValues, flushed each", flushedEmpty);
    row(full.c_str(), flushedFull);
    row("Register+UnregisterValues, flushed per 50 ms", batchedEmpty);
    row(full.c_str(), batchedFull);
    std::printf("%-44s %10.2f\n", "ratio small call / TCP floor (median)", small.medianUs / tcp.medianUs);
    std::printf("%-44s %10.2f\n", "ratio ResolveValues / TCP floor (median)", resolve.medianUs / tcp.medianUs);
    std::printf("%-44s %10.2f\n", "ratio logging ResolveValues / TCP floor", resolveLogged.medianUs / tcp.medianUs);
    std::printf("%-44s %10.2f\n", "ratio log cost per call / TCP floor",
                (resolveLogged.medianUs - resolve.medianUs) / tcp.medianUs);
    std::printf("%-44s %10.2f\n", "ratio Resolve / TCP floor (median)", resolveObject.medianUs / tcp.medianUs);
    std::printf("%-44s %10.2f\n", "ratio registration full / empty, flushed each",
                flushedFull.medianUs / flushedEmpty.medianUs);
    std::printf("%-44s %10.2f\n", "ratio registration full / empty, per 50 ms",
                batchedFull.medianUs / batchedEmpty.medianUs);
    std::printf("%-44s %10.0f\n", "calls/s, 1 client thread", rate1);
    std::printf("%-44s %10.0f\n", "calls/s, 4 client threads", rate4);
    std::printf("%-44s %10.2f\n", "ratio 4 threads / 1 thread", rate4 / rate1);

    cco = CCO::IF_CCO_c::_nil();
    logged = CCO::IF_CCO_c::_nil();
    obj = CORBA::Object::_nil();
    CorbaCommon::OrbHandlerHost::Shutdown();
    return 0;
}
