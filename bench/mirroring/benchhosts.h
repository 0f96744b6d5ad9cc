// Receiver hosts for the benchmark: vorn-host child processes that take
// commands on stdin and whose stdout lines are collected; and the ORB of the
// benchmark process itself.
#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

namespace mirroringtest
{
// The child is killed when the object goes.
class HostProcess
{
public:
    explicit HostProcess(QStringList arguments);
    ~HostProcess();

    bool start(int timeoutMs = 10000);
    void send(const QString &commandLine);
    // Index of the first stdout line at or after `from` holding `text`, or
    // -1 when none came in time. Processes Qt events while it waits.
    int waitForLine(const QString &text, int timeoutMs, int from = 0);
    QString diagnostics();

private:
    void collect();

    QStringList arguments;
    std::unique_ptr<QProcess> process;
    QStringList stdoutLines;
    QByteArray partial;
    QByteArray errors;
};

// Arguments of a vorn-host without plug-in that knows the CCO at `ccoPort`
// (none for 0) and whose ORB listens on `listenPort` (none for 0).
QStringList hostArguments(int ccoPort, int listenPort);

// Brings the ORB up once per process with `listenPorts` endpoints on
// 127.0.0.1 and, when ccoPort is not 0, the CCO's initial reference. Later
// calls return the ports of the first one.
QList<int> ensureOrb(int listenPorts, int ccoPort = 0);
}
