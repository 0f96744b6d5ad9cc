// A cco-server or matrix-server (or any program that prints a READY line)
// run as a child process for a test.
//
//   auto cco = testsupport::startCcoServer();
//   ASSERT_TRUE(cco->ready()) << cco->errorText();
//   cco->corbaloc();                        // "corbaloc::127.0.0.1:PORT/CCO"
//   cco->command("fault hang ResolveValues");   // waits for the server's OK
//   cco->waitForLine("CALL ResolveValues", 2000);
//
// The child never outlives the test: the destructor stops it (SIGTERM, then
// SIGKILL), and the kernel kills it if the test process dies first. That
// death signal is tied to the thread that started the child, so start
// servers from the test's main thread (or another thread that outlives them).
// Output of a failed test's servers is printed to stderr for diagnosis.
//
// After a server was stopped and started again on the same port, the test's
// ORB may still hold a connection to the old process: the first request sent
// on it fails with COMM_FAILURE (completed maybe), the next one connects anew.
#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
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

    // Starts the child and waits until it prints "READY <corbaloc>", exits,
    // or the deadline passes. False (with errorText()) unless READY came.
    bool start(int readyTimeoutMs = 10000);
    bool ready() const { return m_ready; }
    QString errorText() const { return m_error; }

    QString corbaloc() const { return m_corbaloc; } // corbaloc::HOST:PORT/KEY
    QString host() const { return m_host; }
    int port() const { return m_port; }
    pid_t pid() const { return m_pid; }
    const QStringList &arguments() const { return m_args; }

    // Sends one stdin command and waits for its "OK"/"ERROR" answer.
    // True for OK.
    bool command(const QString &line, int timeoutMs = 5000);

    // stdout lines so far (stderr lines carry the prefix "stderr: ").
    QStringList lines() const;
    int lineCount() const;
    // Index of the first line at or after `from` that contains `text`, or -1
    // when none came within the timeout.
    int waitForLine(const QString &text, int timeoutMs, int from = 0) const;
    // Number of lines from `from` on that contain `text`.
    int countLines(const QString &text, int from = 0) const;

    // SIGSTOP / SIGCONT: a stopped server still accepts connections (the
    // kernel does), but answers nothing: a hung server for real.
    void suspend();
    void resume();

    bool isRunning();
    // SIGTERM, then SIGKILL after `graceMs`. Returns the exit code, or
    // 128 + signal when the child was killed by one, or -1 if not started.
    int stop(int graceMs = 5000);
    // SIGKILL at once: the server dies as in a crash.
    int kill();

private:
    void readOutput();
    int reap(int timeoutMs);
    void closePipes();

    QString m_program;
    QStringList m_args;
    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_stdout = -1;
    int m_stderr = -1;
    bool m_suspended = false;
    bool m_ready = false;
    int m_exitCode = -1;
    QString m_error;
    QString m_corbaloc;
    QString m_host;
    int m_port = 0;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_lineAdded;
    std::vector<QString> m_lines;
    bool m_outputClosed = false;
    std::thread m_reader;
};

// Paths of the server programs of this build.
QString ccoServerPath();
QString matrixServerPath();

// cco-server on a free loopback port (unless `args` name --port), started
// and READY (check ready()).
std::unique_ptr<ServerProcess> startCcoServer(const QStringList &args = {}, int readyTimeoutMs = 10000);
// matrix-server on a free loopback port, registering at `ccoCorbaloc` unless
// that is empty.
std::unique_ptr<ServerProcess> startMatrixServer(const QString &ccoCorbaloc, const QStringList &args = {},
                                                 int readyTimeoutMs = 10000);

// A loopback TCP port that was free a moment ago, for a server that must
// come back on the same port after a restart. (A server started with port 0
// cannot always: its system-picked port stays taken while connections to the
// old process linger.)
int freeLoopbackPort();
}
