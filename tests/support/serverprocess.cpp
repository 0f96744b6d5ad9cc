#include "serverprocess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace testsupport
{
namespace
{
void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Only async-signal-safe calls between fork and exec.
[[noreturn]] void execChild(pid_t parent, int in, int out, int err, const std::vector<char *> &argv)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit(127); // the test died before prctl took effect
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    // Nothing of the test (its ORB's sockets above all) leaks into the server.
    if (::syscall(SYS_close_range, 3u, ~0u, 0u) != 0) {
        for (int fd = 3; fd < 4096; ++fd)
            ::close(fd);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}
}

ServerProcess::ServerProcess(QString program, QStringList args)
    : m_program(std::move(program))
    , m_args(std::move(args))
{
}

ServerProcess::~ServerProcess()
{
    stop(3000);
    const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
    if (test && ::testing::Test::HasFailure()) {
        const QStringList out = lines();
        std::fprintf(stderr, "---- output of %s (%d lines) ----\n", qPrintable(m_program), int(out.size()));
        const int first = std::max(0, int(out.size()) - 200);
        for (int i = first; i < out.size(); ++i)
            std::fprintf(stderr, "  %s\n", qPrintable(out.at(i)));
        std::fprintf(stderr, "---- end of output ----\n");
    }
}

bool ServerProcess::start(int readyTimeoutMs)
{
    if (m_pid > 0) {
        m_error = QStringLiteral("already started");
        return false;
    }
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        m_error = QStringLiteral("pipe failed");
        return false;
    }
    std::vector<QByteArray> storage;
    storage.push_back(m_program.toLocal8Bit());
    for (const QString &a : m_args)
        storage.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0)
        execChild(parent, in[0], out[1], err[1], argv);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (pid < 0) {
        ::close(in[1]);
        ::close(out[0]);
        ::close(err[0]);
        m_error = QStringLiteral("fork failed");
        return false;
    }
    m_pid = pid;
    m_stdin = in[1];
    m_stdout = out[0];
    m_stderr = err[0];
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
        m_outputClosed = false;
    }
    m_reader = std::thread([this] { readOutput(); });

    std::unique_lock<std::mutex> lock(m_mutex);
    const bool gotReady = m_lineAdded.wait_for(lock, std::chrono::milliseconds(readyTimeoutMs), [this] {
        if (m_outputClosed)
            return true;
        for (const QString &l : m_lines) {
            if (l.startsWith(QLatin1String("READY ")))
                return true;
        }
        return false;
    });
    for (const QString &l : m_lines) {
        if (!l.startsWith(QLatin1String("READY ")))
            continue;
        m_corbaloc = l.mid(6).trimmed();
        // corbaloc::HOST:PORT/KEY
        const QString address = m_corbaloc.section(QLatin1Char('/'), 0, 0).mid(10);
        m_host = address.section(QLatin1Char(':'), 0, -2);
        m_port = address.section(QLatin1Char(':'), -1).toInt();
        m_ready = true;
        return true;
    }
    QString why = gotReady ? QStringLiteral("exited before READY") : QStringLiteral("no READY in time");
    for (const QString &l : m_lines)
        why += QStringLiteral("\n  ") + l;
    m_error = m_program + QStringLiteral(": ") + why;
    return false;
}

void ServerProcess::readOutput()
{
    QByteArray partial[2];
    int fds[2] = {m_stdout, m_stderr};
    bool open[2] = {true, true};
    while (open[0] || open[1]) {
        pollfd p[2] = {{open[0] ? fds[0] : -1, POLLIN, 0}, {open[1] ? fds[1] : -1, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (!open[i] || !(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[8192];
            const ssize_t n = ::read(fds[i], buf, sizeof buf);
            if (n <= 0) {
                open[i] = false;
                continue;
            }
            partial[i].append(buf, int(n));
            std::vector<QString> complete;
            for (int nl = partial[i].indexOf('\n'); nl >= 0; nl = partial[i].indexOf('\n')) {
                const QString line = QString::fromLocal8Bit(partial[i].left(nl));
                complete.push_back(i == 0 ? line : QStringLiteral("stderr: ") + line);
                partial[i].remove(0, nl + 1);
            }
            if (!complete.empty()) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_lines.insert(m_lines.end(), complete.begin(), complete.end());
                m_lineAdded.notify_all();
            }
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int i = 0; i < 2; ++i) {
        if (!partial[i].isEmpty())
            m_lines.push_back((i ? QStringLiteral("stderr: ") : QString()) + QString::fromLocal8Bit(partial[i]));
    }
    m_outputClosed = true;
    m_lineAdded.notify_all();
}

bool ServerProcess::command(const QString &line, int timeoutMs)
{
    if (m_stdin < 0)
        return false;
    const int from = lineCount();
    const QByteArray data = line.toLocal8Bit() + '\n';
    if (::write(m_stdin, data.constData(), size_t(data.size())) != data.size())
        return false;
    const QString ok = QStringLiteral("OK ") + line;
    const QString error = QStringLiteral("ERROR ") + line;
    std::unique_lock<std::mutex> lock(m_mutex);
    bool answered = false;
    bool success = false;
    m_lineAdded.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (std::size_t i = std::size_t(from); i < m_lines.size(); ++i) {
            if (m_lines[i] == ok || m_lines[i].startsWith(error)) {
                answered = true;
                success = m_lines[i] == ok;
                return true;
            }
        }
        return m_outputClosed;
    });
    return answered && success;
}

QStringList ServerProcess::lines() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QStringList out;
    for (const QString &l : m_lines)
        out << l;
    return out;
}

int ServerProcess::lineCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_lines.size());
}

int ServerProcess::waitForLine(const QString &text, int timeoutMs, int from) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    int found = -1;
    m_lineAdded.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (std::size_t i = std::size_t(std::max(0, from)); i < m_lines.size(); ++i) {
            if (m_lines[i].contains(text)) {
                found = int(i);
                return true;
            }
        }
        return m_outputClosed;
    });
    return found;
}

int ServerProcess::countLines(const QString &text, int from) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (std::size_t i = std::size_t(std::max(0, from)); i < m_lines.size(); ++i) {
        if (m_lines[i].contains(text))
            ++n;
    }
    return n;
}

void ServerProcess::suspend()
{
    if (m_pid <= 0 || ::kill(m_pid, SIGSTOP) != 0)
        return;
    // The signal is only queued by kill(); wait until every thread stopped,
    // so that nothing is answered any more once this returns.
    int status = 0;
    const pid_t r = ::waitpid(m_pid, &status, WUNTRACED);
    if (r == m_pid && !WIFSTOPPED(status)) {
        m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        m_pid = -1;
        return;
    }
    m_suspended = true;
}

void ServerProcess::resume()
{
    if (m_pid <= 0 || ::kill(m_pid, SIGCONT) != 0)
        return;
    int status = 0;
    const pid_t r = ::waitpid(m_pid, &status, WCONTINUED);
    if (r == m_pid && !WIFCONTINUED(status)) {
        m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        m_pid = -1;
        return;
    }
    m_suspended = false;
}

bool ServerProcess::isRunning()
{
    if (m_pid <= 0)
        return false;
    return reap(0) == -2;
}

// Exit code when the child ended within the timeout, -2 while it runs.
int ServerProcess::reap(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            m_pid = -1;
            return m_exitCode;
        }
        if (r < 0) {
            m_pid = -1;
            return m_exitCode;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return -2;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void ServerProcess::closePipes()
{
    closeFd(m_stdin);
    if (m_reader.joinable())
        m_reader.join();
    closeFd(m_stdout);
    closeFd(m_stderr);
}

int ServerProcess::stop(int graceMs)
{
    if (m_pid > 0) {
        if (m_suspended)
            resume();
        ::kill(m_pid, SIGTERM);
        if (reap(graceMs) == -2) {
            ::kill(m_pid, SIGKILL);
            reap(10000);
        }
    }
    closePipes();
    return m_exitCode;
}

int ServerProcess::kill()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        reap(10000);
    }
    closePipes();
    return m_exitCode;
}

QString ccoServerPath()
{
    return QStringLiteral(TESTSUPPORT_CCO_SERVER);
}

QString matrixServerPath()
{
    return QStringLiteral(TESTSUPPORT_MATRIX_SERVER);
}

namespace
{
QStringList withFreePort(QStringList args)
{
    if (!args.contains(QStringLiteral("--port")))
        args << QStringLiteral("--port") << QStringLiteral("0");
    return args;
}
}

std::unique_ptr<ServerProcess> startCcoServer(const QStringList &args, int readyTimeoutMs)
{
    auto server = std::make_unique<ServerProcess>(ccoServerPath(), withFreePort(args));
    server->start(readyTimeoutMs);
    return server;
}

std::unique_ptr<ServerProcess> startMatrixServer(const QString &ccoCorbaloc, const QStringList &args,
                                                 int readyTimeoutMs)
{
    QStringList all = withFreePort(args);
    if (!ccoCorbaloc.isEmpty())
        all << QStringLiteral("--cco") << ccoCorbaloc;
    auto server = std::make_unique<ServerProcess>(matrixServerPath(), all);
    server->start(readyTimeoutMs);
    return server;
}

int freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}
}
