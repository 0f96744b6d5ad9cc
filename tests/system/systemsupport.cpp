#include "systemsupport.h"

#include "tree.h"
#include "value.h"
#include "valueselection.h"
#include "waituntil.h"

#include <omniORB4/CORBA.h>
#include <omniORB4/omniInterceptors.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTimer>

#include <gtest/gtest.h>

#include <dirent.h>
#include <mutex>

namespace systemtest
{
namespace
{
std::atomic<int> scriptCounter {0};
std::atomic<int> markCounter {0};

std::mutex noticeMutex;
std::function<void(const char *, const char *)> &notice()
{
    static std::function<void(const char *, const char *)> function;
    return function;
}

CORBA::Boolean requestSent(omni::omniInterceptors::clientSendRequest_T::info_T &info)
{
    std::function<void(const char *, const char *)> copy;
    {
        std::lock_guard<std::mutex> lock(noticeMutex);
        copy = notice();
    }
    if (copy)
        copy(info.operation(), info.peeraddress());
    return true;
}

template <typename T> T *addValue(const QString &parent, const QString &name)
{
    auto *value = new T;
    value->SetName(name, nullptr);
    if (!values::Tree::Instance()->AddValue(parent, value)) {
        delete value;
        ADD_FAILURE() << "cannot add " << qPrintable(parent) << "/" << qPrintable(name);
        return nullptr;
    }
    return value;
}
}

QString vornHostPath()
{
    return QStringLiteral(SYSTEMTEST_VORN_HOST);
}

QString ccoToolPath()
{
    return QStringLiteral(SYSTEMTEST_CCO_TOOL);
}

QString driverPluginPath()
{
    return QStringLiteral(SYSTEMTEST_DRIVER_PLUGIN);
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

    QString program = vornHostPath();
    QStringList all = args;
    all.prepend(script);
    all.prepend(QStringLiteral("--script"));
    if (!prefix.isEmpty()) {
        all = prefix.mid(1) + QStringList {program} + all;
        program = prefix.first();
    }
    auto host = std::make_unique<testsupport::ServerProcess>(program, all);
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
    testsupport::waitUntil(
        [&] {
            const QStringList lines = process.lines();
            for (int i = from; i < lines.size(); ++i) {
                if (lines.at(i).contains(text)) {
                    found = i;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

Heartbeat::Heartbeat()
    : timer(new QTimer(this))
{
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(5);
    connect(timer, &QTimer::timeout, this, [this] { tick(); });
    clock.start();
    last = clock.elapsed();
    timer->start();
}

Heartbeat::~Heartbeat() = default;

void Heartbeat::reset()
{
    last = clock.elapsed();
    maxGap = 0;
}

void Heartbeat::tick()
{
    const qint64 now = clock.elapsed();
    maxGap = std::max(maxGap, now - last);
    last = now;
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

void onRequestSent(std::function<void(const char *, const char *)> function)
{
    static std::once_flag installed;
    std::call_once(installed, [] { omniORB::getInterceptors()->clientSendRequest.add(requestSent); });
    std::lock_guard<std::mutex> lock(noticeMutex);
    notice() = std::move(function);
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

void buildReceiverTree(const QString &devicePath)
{
    const struct
    {
        const char *name;
        int input;
    } antennas[] = {{"HF1", 3}, {"HF2", 4}, {"VUHF", 6}, {"DUMMYLOAD", 0}};
    QStringList names;
    for (const auto &antenna : antennas) {
        names << QString::fromLatin1(antenna.name);
        if (auto *number = addValue<values::Value<int>>(
                devicePath + QStringLiteral("/ANTENNAS/") + names.last(), QStringLiteral("ExternalNumber")))
            number->SetValue(antenna.input, nullptr);
    }
    if (auto *out = addValue<values::Value<int>>(devicePath + QStringLiteral("/ANTENNAS"), QStringLiteral("MatrixOut")))
        out->SetValue(2, nullptr);
    if (auto *antenna = addValue<values::ValueSelection>(devicePath, QStringLiteral("ANTENNA")))
        antenna->SetItems(names, nullptr);
    addValue<values::Value<QString>>(devicePath, QStringLiteral("LASTDRIVERERROR"));
    if (auto *status = addValue<values::ValueSelection>(devicePath, QStringLiteral("HARDWARESTATUS"))) {
        status->SetItems({QStringLiteral("STOPPED"), QStringLiteral("RUNNING")}, nullptr);
        status->SetSelectedItem(QStringLiteral("RUNNING"), nullptr);
    }
}

void selectItem(const QString &valuePath, const QString &item)
{
    auto *selection = dynamic_cast<values::ValueSelection *>(values::Tree::Instance()->FindValue(valuePath));
    ASSERT_TRUE(selection) << qPrintable(valuePath);
    ASSERT_TRUE(selection->SetSelectedItem(item, nullptr)) << qPrintable(valuePath) << " " << qPrintable(item);
}

QString valueText(const QString &valuePath)
{
    values::ValueBase *value = values::Tree::Instance() ? values::Tree::Instance()->FindValue(valuePath) : nullptr;
    return value ? value->GetStringValue() : QStringLiteral("<absent>");
}
}
