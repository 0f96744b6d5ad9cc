#include "hostprocess.h"

#include "serverprocess.h"
#include "waituntil.h"

#include <QCoreApplication>

#include <signal.h>

namespace mirroringtest
{
HostProcess::HostProcess(QStringList args)
    : arguments(std::move(args))
{
}

HostProcess::~HostProcess()
{
    kill();
}

bool HostProcess::start(const QString &readyText, int timeoutMs)
{
    process = std::make_unique<QProcess>();
    process->setProgram(vornHostPath());
    process->setArguments(arguments);
    process->start();
    if (!process->waitForStarted(timeoutMs))
        return false;
    return readyText.isEmpty() || waitForLine(readyText, timeoutMs) >= 0;
}

void HostProcess::send(const QString &commandLine)
{
    if (!process)
        return;
    process->write(commandLine.toUtf8() + '\n');
    process->waitForBytesWritten(1000);
}

void HostProcess::collect()
{
    if (!process)
        return;
    partial += process->readAllStandardOutput();
    errors += process->readAllStandardError();
    int newline;
    while ((newline = partial.indexOf('\n')) >= 0) {
        stdoutLines << QString::fromUtf8(partial.left(newline));
        partial.remove(0, newline + 1);
    }
}

int HostProcess::waitForLine(const QString &text, int timeoutMs, int from)
{
    int found = -1;
    testsupport::waitUntil(
        [&] {
            if (process)
                process->waitForReadyRead(5);
            collect();
            for (int i = from; i < stdoutLines.size(); ++i) {
                if (stdoutLines.at(i).contains(text)) {
                    found = i;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

QStringList HostProcess::lines()
{
    collect();
    return stdoutLines;
}

qint64 HostProcess::pid() const
{
    return process ? process->processId() : -1;
}

void HostProcess::suspend()
{
    if (pid() > 0)
        ::kill(static_cast<pid_t>(pid()), SIGSTOP);
}

void HostProcess::resume()
{
    if (pid() > 0)
        ::kill(static_cast<pid_t>(pid()), SIGCONT);
}

void HostProcess::kill()
{
    if (!process)
        return;
    resume();
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(5000);
    }
    collect();
    process.reset();
}

QString HostProcess::diagnostics()
{
    collect();
    return QStringLiteral("stdout:\n%1\nstderr:\n%2").arg(stdoutLines.join(QLatin1Char('\n')), QString::fromUtf8(errors));
}

QString vornHostPath()
{
    return QStringLiteral(MIRRORINGTEST_VORN_HOST);
}

int freePort()
{
    return testsupport::freeLoopbackPort();
}

QStringList hostArguments(int ccoPort, int listenPort)
{
    QStringList args{QStringLiteral("--no-plugin"), QStringLiteral("--stay")};
    if (ccoPort)
        args << QStringLiteral("--cco") << QStringLiteral("127.0.0.1:%1").arg(ccoPort);
    if (listenPort)
        args << QStringLiteral("--") << QStringLiteral("-ORBendPoint")
             << QStringLiteral("giop:tcp:127.0.0.1:%1").arg(listenPort);
    return args;
}
}
