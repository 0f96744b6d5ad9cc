#include "serverprocess.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <utility>

namespace testsupport
{
namespace
{
// Only async-signal-safe calls between fork and exec.
[[noreturn]] void execChild(pid_t parent, const int fds[3], const std::vector<char *> &argv)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit(127); // the test died before prctl took effect
    for (int i = 0; i < 3; ++i)
        ::dup2(fds[i], i);
    // Nothing of the test (its ORB's sockets above all) leaks into the server.
    if (::syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
        for (int fd = 3; fd < 4096; ++fd)
            ::close(fd);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}
}

ServerProcess::ServerProcess(QString program, QStringList args)
    : m_command(QStringList(program) + args)
{
}

ServerProcess::~ServerProcess()
{
    stop(3000);
    if (::testing::UnitTest::GetInstance()->current_test_info() && ::testing::Test::HasFailure()) {
        std::fprintf(stderr, "---- last output of %s ----\n", qPrintable(m_command.first()));
        for (const QString &line : lines().mid(lineCount() - 200))
            std::fprintf(stderr, "  %s\n", qPrintable(line));
    }
}

bool ServerProcess::start(int readyTimeoutMs)
{
    int in[2], out[2], err[2];
    if (m_pid > 0 || ::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        m_error = QStringLiteral("running already, or no pipes");
        return false;
    }
    end(true, 0); // what an earlier run left
    std::vector<QByteArray> storage;
    for (const QString &a : m_command)
        storage.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t parent = ::getpid();
    const int childFds[3] = {in[0], out[1], err[1]};
    m_pid = ::fork(); // on failure the readers see the end of output at once
    if (m_pid == 0)
        execChild(parent, childFds, argv);
    for (int fd : childFds)
        ::close(fd);
    m_fds = {in[1], out[0], err[0]};
    m_lines.clear();
    m_openStreams = 2;
    m_readers[0] = std::thread([this] { readOutput(m_fds[1], QString()); });
    m_readers[1] = std::thread([this] { readOutput(m_fds[2], QStringLiteral("stderr: ")); });

    const int at = findLine([](const QString &l) { return l.startsWith(QLatin1String("READY ")); }, readyTimeoutMs);
    const QStringList output = lines();
    m_corbaloc = at >= 0 ? output.at(at).mid(6).trimmed() : QString();
    const QString why = isRunning() ? QStringLiteral(": no READY in time:\n  ") : QStringLiteral(": ended:\n  ");
    m_error = at >= 0 ? QString() : m_command.first() + why + output.join(QStringLiteral("\n  "));
    return at >= 0;
}

void ServerProcess::readOutput(int fd, const QString &prefix)
{
    QByteArray partial;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        partial.append(buf, int(std::max<ssize_t>(n, 0)));
        if (n <= 0 && !partial.isEmpty())
            partial.append('\n'); // the unfinished last line
        QStringList complete;
        for (int nl = partial.indexOf('\n'); nl >= 0; nl = partial.indexOf('\n')) {
            complete << prefix + QString::fromLocal8Bit(partial.left(nl));
            partial.remove(0, nl + 1);
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.insert(m_lines.end(), complete.begin(), complete.end());
        m_openStreams -= n <= 0 ? 1 : 0;
        m_lineAdded.notify_all();
        if (n <= 0)
            return;
    }
}

int ServerProcess::findLine(const std::function<bool(const QString &)> &match, int timeoutMs, int from) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    int found = -1;
    m_lineAdded.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (int i = std::max(0, from); i < int(m_lines.size()) && found < 0; ++i)
            found = match(m_lines[std::size_t(i)]) ? i : -1;
        return found >= 0 || m_openStreams == 0;
    });
    return found;
}

bool ServerProcess::command(const QString &line, int timeoutMs)
{
    const int from = lineCount();
    const QByteArray data = line.toLocal8Bit() + '\n';
    if (m_fds[0] < 0 || ::write(m_fds[0], data.constData(), size_t(data.size())) != data.size())
        return false;
    bool success = false;
    findLine([&](const QString &l) { return (success = l == "OK " + line) || l.startsWith("ERROR " + line); },
        timeoutMs, from);
    return success;
}

QStringList ServerProcess::lines() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // A list of its own: one sharing its data with m_lines would be changed by the reader threads.
    return QStringList(m_lines.begin(), m_lines.end());
}

// kill() only queues the signal: wait until the child reports the change,
// so that a suspended server answers nothing once suspend() returns.
bool ServerProcess::signalAndWait(bool toStop)
{
    int status = 0;
    return m_pid > 0 && ::kill(m_pid, toStop ? SIGSTOP : SIGCONT) == 0
        && ::waitpid(m_pid, &status, toStop ? WUNTRACED : WCONTINUED) == m_pid
        && (toStop ? WIFSTOPPED(status) : WIFCONTINUED(status));
}

// The exit code once the child ended within the timeout, -2 while it runs.
int ServerProcess::reap(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r != 0) {
            if (r == m_pid)
                m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            m_pid = -1;
            return m_exitCode;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return -2;
        std::this_thread::sleep_for(std::chrono::milliseconds(2)); // poll interval of a wait with a deadline
    }
}

int ServerProcess::end(bool crash, int graceMs)
{
    if (!crash)
        resume();
    if (m_pid > 0) {
        ::kill(m_pid, crash ? SIGKILL : SIGTERM);
        if (reap(graceMs) == -2) {
            ::kill(m_pid, SIGKILL);
            reap(10000);
        }
    }
    m_suspended = false;
    for (std::thread &reader : m_readers)
        if (reader.joinable())
            reader.join();
    for (int &fd : m_fds)
        ::close(std::exchange(fd, -1)); // close(-1) does no harm
    return m_exitCode;
}

std::unique_ptr<ServerProcess> startCcoServer(const QStringList &args, int readyTimeoutMs)
{
    const QStringList port = args.contains(QStringLiteral("--port")) ? QStringList() : QStringList {"--port", "0"};
    auto server = std::make_unique<ServerProcess>(ccoServerPath(), args + port);
    server->start(readyTimeoutMs);
    return server;
}

std::unique_ptr<ServerProcess> startMatrixServer(
    const QString &ccoCorbaloc, const QStringList &args, int readyTimeoutMs)
{
    const QStringList port = args.contains(QStringLiteral("--port")) ? QStringList() : QStringList {"--port", "0"};
    const QStringList cco = ccoCorbaloc.isEmpty() ? QStringList() : QStringList {"--cco", ccoCorbaloc};
    auto server = std::make_unique<ServerProcess>(matrixServerPath(), args + port + cco);
    server->start(readyTimeoutMs);
    return server;
}

int freeLoopbackPort()
{
    const auto [fd, port] = listenOnLoopback(1);
    ::close(fd);
    return port;
}

std::pair<int, int> listenOnLoopback(int backlog, int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof addr;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && ::listen(fd, backlog) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        return {fd, ntohs(addr.sin_port)};
    if (fd >= 0)
        ::close(fd);
    return {-1, 0};
}
}
