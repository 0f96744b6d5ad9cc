// A server (or any program that prints "READY <text>") as a test's child. The
// destructor stops it; the kernel kills it when the thread that started it
// dies, so start it from one that outlives it. A failed test shows its output.
#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <array>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport
{
class ServerProcess
{
public:
    ServerProcess(QString program, QStringList args);
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    // Starts the child; true once it printed its READY line in time.
    bool start(int readyTimeoutMs = 10000);
    bool ready() const { return !m_corbaloc.isEmpty(); }
    QString errorText() const { return m_error; }
    QString corbaloc() const { return m_corbaloc; } // the text after READY
    int port() const { return m_corbaloc.section(QLatin1Char('/'), 0, 0).section(QLatin1Char(':'), -1).toInt(); }
    pid_t pid() const { return m_pid; }

    // Writes a line to its stdin; true once "OK <line>" came, not "ERROR <line>".
    bool command(const QString &line, int timeoutMs = 5000);

    // Output lines so far; stderr lines carry the prefix "stderr: ".
    QStringList lines() const;
    int lineCount() const { return lines().size(); }
    // Index of the first line at or after `from` containing `text`, or -1.
    int waitForLine(const QString &text, int timeoutMs, int from = 0) const
    {
        return findLine([&](const QString &l) { return l.contains(text); }, timeoutMs, from);
    }
    int countLines(const QString &text, int from = 0) const { return lines().mid(from).filter(text).size(); }

    // Return once the child stopped (it still accepts connections, answers nothing) or went on.
    void suspend() { m_suspended = m_suspended || signalAndWait(true); }
    void resume() { m_suspended = m_suspended && !signalAndWait(false); }

    bool isRunning() { return m_pid > 0 && reap(0) == -2; }
    // SIGTERM, SIGKILL after `graceMs`; the exit code (128 + signal; -1 if it never ran).
    int stop(int graceMs = 5000) { return end(false, graceMs); }
    int kill() { return end(true, 0); } // SIGKILL at once, as in a crash

private:
    int findLine(const std::function<bool(const QString &)> &match, int timeoutMs, int from = 0) const;
    void readOutput(int fd, const QString &prefix);
    bool signalAndWait(bool toStop);
    int reap(int timeoutMs);
    int end(bool crash, int graceMs);

    QStringList m_command; // program and arguments
    pid_t m_pid = -1;
    std::array<int, 3> m_fds {{-1, -1, -1}}; // the child's stdin, stdout, stderr
    bool m_suspended = false;
    int m_exitCode = -1;
    QString m_error;
    QString m_corbaloc;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_lineAdded;
    std::vector<QString> m_lines;
    int m_openStreams = 0;
    std::array<std::thread, 2> m_readers;
};

inline QString ccoServerPath()
{
    return QStringLiteral(TESTSUPPORT_CCO_SERVER);
}

inline QString matrixServerPath()
{
    return QStringLiteral(TESTSUPPORT_MATRIX_SERVER);
}

// Started on a free loopback port unless `args` name --port (check ready()).
std::unique_ptr<ServerProcess> startCcoServer(const QStringList &args = {}, int readyTimeoutMs = 10000);
// The matrix-server registers at `ccoCorbaloc` unless it is empty.
std::unique_ptr<ServerProcess> startMatrixServer(
    const QString &ccoCorbaloc, const QStringList &args = {}, int readyTimeoutMs = 10000);

// A loopback port that was free a moment ago, for a server that must come back
// on it: one that took port 0 cannot, while connections to the old one linger.
int freeLoopbackPort();
// A socket listening on loopback `port` (a free one for 0) with room for
// `backlog` pending connections: its descriptor and port, or -1 and 0.
std::pair<int, int> listenOnLoopback(int backlog, int port = 0);
}
