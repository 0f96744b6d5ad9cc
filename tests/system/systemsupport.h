// Helpers of the system tests: vorn-host workstations as child processes,
// a heartbeat that measures how long the host's event loop was held up, the
// memory and threads of a process, and client-side notice of the CORBA
// requests this process sends (to strike a server in the middle of a call).
#pragma once

#include "serverprocess.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>

class QTimer;

namespace systemtest
{
QString vornHostPath();
QString ccoToolPath();
QString driverPluginPath();
QString sourceDir();

// A vorn-host child: `scriptLines` run first (from a script file), then the
// host prints "READY <tag>" and start() returns. `prefix` goes in front of
// the program (for example "ip netns exec NS"). Commands follow with
// hostDo(). The host stays until it is stopped.
std::unique_ptr<testsupport::ServerProcess> startVornHost(
    const QStringList &args, const QStringList &scriptLines, const QStringList &prefix = {}, int timeoutMs = 15000);

// A receiver workstation: a vorn-host serving /DEVICES/RX/Frequency on
// `port`, registered at the CCO on `ccoPort` (none for 0) as `name` (not for
// "-") with the driver path `path`.
std::unique_ptr<testsupport::ServerProcess> startReceiverHost(
    int ccoPort, int port, const QString &name, const QString &frequency = "100", const QString &path = "/DEVICES/RX");

// Sends `commands` to a vorn-host child and waits (processing Qt events)
// until it has run them all. `output` gets what they printed on stdout,
// `errors` their "error:" lines. False when the host did not get through
// them in time.
bool hostDo(testsupport::ServerProcess &host, const QStringList &commands, int timeoutMs = 10000,
    QStringList *output = nullptr, QStringList *errors = nullptr);

// Index of the first line from `from` on that contains `text`, waiting up
// to `timeoutMs` while Qt events are processed; -1 if none came.
int waitForLine(testsupport::ServerProcess &process, const QString &text, int timeoutMs, int from = 0);

// Counts the time between ticks of a 5 ms timer on the thread that creates
// it: the longest gap is how long that thread's event loop was held up.
class Heartbeat : public QObject
{
public:
    Heartbeat();
    ~Heartbeat() override;
    // Forgets the gaps so far.
    void reset();
    // A stall still going on counts too.
    qint64 maxGapMs() const { return std::max(maxGap, clock.elapsed() - last); }

private:
    void tick();

    QTimer *timer;
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 maxGap = 0;
};

struct ProcessFigures
{
    long rssKb = -1;
    int threads = -1;
    int fds = -1;
};
// VmRSS, threads and open descriptors of a process (this one for 0).
ProcessFigures processFigures(pid_t pid = 0);

// Calls `notice(operation, peer)` on the calling thread each time this
// process sends a CORBA request, before it goes out. Install after the ORB
// is up; one notice at a time (a later call replaces the function, an empty
// one removes it).
void onRequestSent(std::function<void(const char *operation, const char *peer)> notice);

// An INI file for the driver: the group `instance` with `entries`.
QString writeConfig(const QTemporaryDir &dir, const QString &instance, const QStringList &entries);

// The tree of a receiver as the driver's antenna side expects it below
// `devicePath` (HF1=in 3, HF2=in 4, VUHF=in 6, DUMMYLOAD=none, output 2,
// hardware RUNNING), created in this process's value tree.
void buildReceiverTree(const QString &devicePath);
void selectItem(const QString &valuePath, const QString &item);
QString valueText(const QString &valuePath);
}
