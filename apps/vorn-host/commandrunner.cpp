#include "commandrunner.h"

#include "hostcommands.h"

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTextStream>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

CommandRunner::CommandRunner(HostCommands &commands, HostServices &host, QObject *parent)
    : QObject(parent)
    , commands(commands)
    , host(host)
{
}

bool CommandRunner::addScript(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("cannot read script %1: %2").arg(path, file.errorString());
        return false;
    }
    const QString name = QFileInfo(path).fileName();
    QTextStream in(&file);
    int number = 0;
    while (!in.atEnd()) {
        const QString line = in.readLine();
        ++number;
        queue.enqueue(Entry {QStringLiteral("%1:%2").arg(name).arg(number), line, false});
    }
    return true;
}

void CommandRunner::readStdin()
{
    if (::fcntl(STDIN_FILENO, F_GETFL) == -1) {
        // No stdin at all (closed by whoever started us): its end is here.
        queue.enqueue(Entry {QString(), QString(), true});
        return;
    }
    // Blocking reads are fine: each read follows a readiness notification,
    // and switching fd 0 to non-blocking would change it for the shell that
    // shares it.
    stdinNotifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(stdinNotifier, &QSocketNotifier::activated, this, [this] { readStdinChunk(); });
}

void CommandRunner::start()
{
    started = true;
    runQueued();
}

void CommandRunner::stop()
{
    stopped = true;
    queue.clear();
    if (stdinNotifier)
        stdinNotifier->setEnabled(false);
}

void CommandRunner::readStdinChunk()
{
    char chunk[4096];
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n > 0) {
        stdinBuffer.append(chunk, static_cast<int>(n));
        takeStdinLines(false);
    } else {
        stdinNotifier->setEnabled(false);
        takeStdinLines(true);
        queue.enqueue(Entry {QString(), QString(), true});
    }
    runQueued();
}

void CommandRunner::takeStdinLines(bool atEnd)
{
    int newline;
    while ((newline = stdinBuffer.indexOf('\n')) >= 0) {
        QByteArray line = stdinBuffer.left(newline);
        stdinBuffer.remove(0, newline + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        queue.enqueue(Entry {QStringLiteral("stdin:%1").arg(++stdinLineNumber), QString::fromLocal8Bit(line), false});
    }
    if (atEnd && !stdinBuffer.isEmpty()) {
        queue.enqueue(
            Entry {QStringLiteral("stdin:%1").arg(++stdinLineNumber), QString::fromLocal8Bit(stdinBuffer), false});
        stdinBuffer.clear();
    }
}

void CommandRunner::runQueued()
{
    // Guards against a command that spins the event loop, and against a
    // deferred command finishing inside execute().
    if (inExecute)
        return;
    while (started && !stopped && !busy && !queue.isEmpty()) {
        const Entry entry = queue.dequeue();
        if (entry.endOfStdin) {
            Q_EMIT stdinFinished();
            continue;
        }
        busy = true;
        inExecute = true;
        commands.execute(entry.source, entry.line, host, [this](bool ok) { commandDone(ok); });
        inExecute = false;
    }
}

void CommandRunner::commandDone(bool ok)
{
    if (!ok)
        ++failures;
    busy = false;
    // A deferred command finishes from the event loop; go on from there too
    // rather than inside whatever called us.
    if (!inExecute)
        QMetaObject::invokeMethod(this, &CommandRunner::runQueued, Qt::QueuedConnection);
}
