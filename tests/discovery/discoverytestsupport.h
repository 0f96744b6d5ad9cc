// Helpers of the discovery tests: the test process's ORB, direct CCO access
// that bypasses the classes under test, and a record of driver traces.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <mutex>

namespace testsupport
{
class ServerProcess;
}

namespace discoverytest
{
const QString category = QStringLiteral("CentralServices/Receiver/PulseAnalysis");

// "CCO/LocalSystem/SubSystems/<subsystem>/<category>/<name>"
QString objectPath(const QString &subsystem, const QString &name);
// "CCO/LocalSystem/LocalSubSystem/LocalHost/<name>"
QString localHostPath(const QString &name);

// Brings this process's ORB up with the CCO at `corbaloc` and connects to it.
bool initOrb(const QString &corbaloc, bool connect = true);

// Direct CCO calls on the test's thread. Values are raw bytes, so that tests
// see exactly what travelled. False / empty on any exception.
bool bindValues(const QString &path, const QList<QByteArray> &values);
bool unbindValues(const QString &path);
QList<QByteArray> resolveValues(const QString &path);

// The server logs each call before it replies, but its output reaches the
// test through a pipe. This makes one call of its own and waits for that
// call's line: every line of a call that has returned is in by then. Returns
// the number of lines so far (or -1 on time-out).
int syncLog(testsupport::ServerProcess &server);

// Records the driver's traces (level 0x20) while it exists.
class TraceRecorder
{
public:
    TraceRecorder();
    ~TraceRecorder();
    QStringList lines() const;
    int count(const QString &text) const;
    bool waitFor(const QString &text, int timeoutMs = 5000) const;

private:
    mutable std::mutex mutex;
    QStringList recorded;
};

// Threads of this process, as the kernel counts them.
int threadCount();
}
