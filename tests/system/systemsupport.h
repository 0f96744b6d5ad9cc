// Helpers of the system tests: vorn-host workstations as child processes,
// the memory and threads of a process, and the value tree of this process.
#pragma once

#include "serverprocess.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/types.h>

#include <memory>

namespace systemtest
{
QString ccoToolPath();
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

struct ProcessFigures
{
    long rssKb = -1;
    int threads = -1;
    int fds = -1;
};
// VmRSS, threads and open descriptors of a process (this one for 0).
ProcessFigures processFigures(pid_t pid = 0);

// An INI file for the driver: the group `instance` with `entries`.
QString writeConfig(const QTemporaryDir &dir, const QString &instance, const QStringList &entries);

// The text of a value in this process's tree, "<absent>" without one.
QString valueText(const QString &valuePath);
}
