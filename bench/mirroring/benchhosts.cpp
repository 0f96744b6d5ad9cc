#include "benchhosts.h"

#include "orbhandlerhost.h"
#include "serverprocess.h"
#include "treehost.h"
#include "waituntil.h"

namespace mirroringtest
{
HostProcess::HostProcess(QStringList args)
    : arguments(std::move(args))
{
}

HostProcess::~HostProcess()
{
    if (process && process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(5000);
    }
}

bool HostProcess::start(int timeoutMs)
{
    process = std::make_unique<QProcess>();
    process->setProgram(QStringLiteral(MIRRORINGBENCH_VORN_HOST));
    process->setArguments(arguments);
    process->start();
    return process->waitForStarted(timeoutMs);
}

void HostProcess::send(const QString &commandLine)
{
    process->write(commandLine.toUtf8() + '\n');
    process->waitForBytesWritten(1000);
}

void HostProcess::collect()
{
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

QString HostProcess::diagnostics()
{
    collect();
    return QStringLiteral("stdout:\n%1\nstderr:\n%2")
        .arg(stdoutLines.join(QLatin1Char('\n')), QString::fromUtf8(errors));
}

QStringList hostArguments(int ccoPort, int listenPort)
{
    // The benchmark changes the receivers' values remotely.
    QStringList args {QStringLiteral("--no-plugin"), QStringLiteral("--stay"), QStringLiteral("--allow-peer-writes")};
    if (ccoPort)
        args << QStringLiteral("--cco") << QStringLiteral("127.0.0.1:%1").arg(ccoPort);
    if (listenPort)
        args << QStringLiteral("--") << QStringLiteral("-ORBendPoint")
             << QStringLiteral("giop:tcp:127.0.0.1:%1").arg(listenPort);
    return args;
}

QList<int> ensureOrb(int listenPorts, int ccoPort)
{
    static QList<int> ports;
    static bool up = false;
    if (up)
        return ports;
    // Every held poll of a client takes a connection to its server, and
    // omniORB opens only 5 per server by default.
    QStringList args {QStringLiteral("-ORBmaxGIOPConnectionPerServer"), QStringLiteral("32")};
    for (int i = 0; i < listenPorts; ++i) {
        ports << testsupport::freeLoopbackPort();
        args << QStringLiteral("-ORBendPoint") << QStringLiteral("giop:tcp:127.0.0.1:%1").arg(ports.last());
    }
    if (ccoPort)
        args << QStringLiteral("-ORBInitRef") << QStringLiteral("CCO=corbaloc::127.0.0.1:%1/CCO").arg(ccoPort);
    up = CorbaCommon::OrbHandlerHost::Init(args);
    values::TreeHost::Create();
    return ports;
}
}
