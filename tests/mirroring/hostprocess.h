// A vorn-host run as a child process of a test: commands go to its stdin,
// its stdout lines are collected. The child is killed when the object goes.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

namespace mirroringtest
{
class HostProcess
{
public:
    explicit HostProcess(QStringList arguments);
    ~HostProcess();

    // Starts the host; with `readyText` waits for a stdout line holding it.
    bool start(const QString &readyText = QString(), int timeoutMs = 10000);
    void send(const QString &commandLine);
    // Index of the first stdout line at or after `from` holding `text`, or
    // -1 when none came in time. Processes Qt events while it waits.
    int waitForLine(const QString &text, int timeoutMs, int from = 0);
    QStringList lines();
    int lineCount() { return lines().size(); }
    qint64 pid() const;
    void suspend();
    void resume();
    // SIGKILL: the host dies as in a crash.
    void kill();
    QString diagnostics();

private:
    void collect();

    QStringList arguments;
    std::unique_ptr<QProcess> process;
    QStringList stdoutLines;
    QByteArray partial;
    QByteArray errors;
};

QString vornHostPath();
// A loopback port that was free a moment ago.
int freePort();
// Arguments of a vorn-host without plug-in that knows the CCO at `ccoPort`
// (none for 0) and whose ORB listens on `listenPort` (none for 0).
QStringList hostArguments(int ccoPort, int listenPort);
}
