#include "systemsupport.h"

#include "tree.h"
#include "value.h"
#include "waituntil.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <atomic>
#include <dirent.h>

namespace systemtest
{
namespace
{
std::atomic<int> scriptCounter {0};
std::atomic<int> markCounter {0};
}

QString ccoToolPath()
{
    return QStringLiteral(SYSTEMTEST_CCO_TOOL);
}

QString sourceDir()
{
    return QStringLiteral(SYSTEMTEST_SOURCE_DIR);
}

std::unique_ptr<testsupport::ServerProcess> startVornHost(
    const QStringList &args, const QStringList &scriptLines, const QStringList &prefix, int timeoutMs)
{
    // The script lives next to the test's other scratch files and goes with
    // the process: vorn-host has read it before it prints READY.
    const QString script = QDir::temp().filePath(
        QStringLiteral("system-test-%1-%2.vorn").arg(QCoreApplication::applicationPid()).arg(++scriptCounter));
    QFile file(script);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return nullptr;
    for (const QString &line : scriptLines)
        file.write(line.toUtf8() + '\n');
    file.write(QByteArrayLiteral("echo READY vorn-host\n"));
    file.close();

    const QStringList command = prefix + QStringList {QStringLiteral(SYSTEMTEST_VORN_HOST), "--script", script} + args;
    auto host = std::make_unique<testsupport::ServerProcess>(command.first(), command.mid(1));
    const bool started = host->start(timeoutMs);
    QFile::remove(script);
    if (!started) {
        ADD_FAILURE() << qPrintable(host->errorText());
        return nullptr;
    }
    return host;
}

std::unique_ptr<testsupport::ServerProcess> startReceiverHost(
    int ccoPort, int port, const QString &name, const QString &frequency, const QString &path)
{
    QStringList args {"--no-plugin", "--stay"};
    if (ccoPort)
        args << "--cco" << QStringLiteral("127.0.0.1:%1").arg(ccoPort);
    args << "--"
         << "-ORBendPoint" << QStringLiteral("giop:tcp:127.0.0.1:%1").arg(port);
    return startVornHost(args,
        {"mkvalue string /DEVICES/RX/Frequency " + frequency,
            QStringLiteral("receiver %1 %2 127.0.0.1 127.0.0.1 \"%3\"").arg(port).arg(name, path)});
}

bool hostDo(testsupport::ServerProcess &host, const QStringList &commands, int timeoutMs, QStringList *output,
    QStringList *errors)
{
    const int from = host.lineCount();
    const QString mark = QStringLiteral("@@%1").arg(++markCounter);
    // command() waits for a server's "OK" answer, which vorn-host never
    // gives: with no time to wait it only writes the line.
    for (const QString &command : commands)
        host.command(command, 0);
    host.command(QStringLiteral("echo ") + mark, 0);
    const int at = waitForLine(host, mark, timeoutMs, from);
    if (at < 0)
        return false;
    const QStringList lines = host.lines();
    for (int i = from; i < at; ++i) {
        const QString &line = lines.at(i);
        if (line.startsWith(QLatin1String("stderr: "))) {
            if (errors && line.contains(QLatin1String("error: ")))
                *errors << line.mid(8);
        } else if (output) {
            *output << line;
        }
    }
    return true;
}

int waitForLine(testsupport::ServerProcess &process, const QString &text, int timeoutMs, int from)
{
    int found = -1;
    testsupport::waitUntil([&] { return (found = process.waitForLine(text, 0, from)) >= 0; }, timeoutMs);
    return found;
}

ProcessFigures processFigures(pid_t pid)
{
    ProcessFigures figures;
    const QString base = pid > 0 ? QStringLiteral("/proc/%1").arg(pid) : QStringLiteral("/proc/self");
    QFile status(base + QStringLiteral("/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                figures.rssKb = line.mid(6).trimmed().split(' ').first().toLong();
            else if (line.startsWith("Threads:"))
                figures.threads = line.mid(8).trimmed().toInt();
        }
    }
    if (DIR *dir = ::opendir(QFile::encodeName(base + QStringLiteral("/fd")).constData())) {
        figures.fds = 0;
        while (const dirent *entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.')
                ++figures.fds;
        }
        ::closedir(dir);
    }
    return figures;
}

QString writeConfig(const QTemporaryDir &dir, const QString &instance, const QStringList &entries)
{
    const QString path = dir.filePath(QStringLiteral("vorn.ini"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    file.write(QStringLiteral("[%1]\n").arg(instance).toUtf8());
    for (const QString &entry : entries)
        file.write(entry.toUtf8() + '\n');
    return path;
}

QString valueText(const QString &valuePath)
{
    values::ValueBase *value = values::Tree::Instance() ? values::Tree::Instance()->FindValue(valuePath) : nullptr;
    return value ? value->GetStringValue() : QStringLiteral("<absent>");
}
}
