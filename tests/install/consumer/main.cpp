// A host of the installed library: starts the installed cco-server, brings
// the ORB up through its platform, registers values and watches them come
// back through CCOWatcher, runs a ReceiverCCO, and loads the plug-in with
// dlopen through ZRCreate / ZRDestroy.
// Usage: consumer CCO_SERVER_PROGRAM; exit code 0 when every step worked.
#include "hostplatform.h"

#include <ccoregistration.h>
#include <ccowatcher.h>
#include <externalccodriver_version.h>
#include <idllinstance.h>
#include <receivercco.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QThreadPool>

#include <dlfcn.h>

#include <cstdio>
#include <functional>
#include <memory>

using externalCCODriver::CCORegistration;
using externalCCODriver::CCOWatcher;
using externalCCODriver::mirroring::CcoInitParameters;
using externalCCODriver::mirroring::ReceiverCCO;

namespace
{
int failed(const char *what)
{
    std::fprintf(stderr, "consumer: %s\n", what);
    return 1;
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// The server as a child that prints "READY <corbaloc>" once it serves.
class CcoServer
{
public:
    explicit CcoServer(const QString &program)
    {
        process.setProgram(program);
        process.setArguments({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--quiet")});
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start();
    }
    ~CcoServer()
    {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(5000);
    }
    QString waitUntilReady(int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            while (process.canReadLine()) {
                const QString line = QString::fromLocal8Bit(process.readLine()).trimmed();
                if (line.startsWith(QLatin1String("READY ")))
                    return line.mid(6);
            }
            if (process.state() == QProcess::NotRunning
                || !process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
                break;
        }
        return {};
    }

private:
    QProcess process;
};

using ZRCreateFunction = IDllInstance *(*)(const wchar_t *);
using ZRDestroyFunction = void (*)(IDllInstance *);

bool runPlugin()
{
    void *handle = ::dlopen(PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return false;
    auto create = reinterpret_cast<ZRCreateFunction>(::dlsym(handle, "ZRCreate"));
    auto destroy = reinterpret_cast<ZRDestroyFunction>(::dlsym(handle, "ZRDestroy"));
    bool ok = create && destroy;
    if (ok) {
        IDllInstance *instance = create(L"ExternalCCODriver");
        ok = instance && instance->instanceName == QLatin1String("ExternalCCODriver");
        if (instance) {
            ok = ok && instance->IsReady();
            instance->CommitData();
        }
        destroy(instance);
    }
    ::dlclose(handle);
    return ok;
}
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return failed("usage: consumer CCO_SERVER_PROGRAM");
    if (QLatin1String(EXTERNALCCODRIVER_VERSION) != QLatin1String(PACKAGE_VERSION))
        return failed("the header's version differs from the package's");

    CcoServer server(QString::fromLocal8Bit(argv[1]));
    const QString corbaloc = server.waitUntilReady(10000);
    if (corbaloc.isEmpty())
        return failed("cco-server did not start");
    if (!startOrb(corbaloc))
        return failed("the ORB or the CCO did not come up");

    int result = 0;
    {
        const QString category = QStringLiteral("Consumer/Check");
        CCOWatcher watcher(50, 10, category);
        CCOWatcher::CCOValuesList seen;
        QObject::connect(&watcher, &CCOWatcher::resultListChanged, &watcher,
                         [&seen](const CCOWatcher::CCOValuesList &list) { seen = list; });
        watcher.init();
        CCORegistration::registerAtCCO(QStringLiteral("CCO/LocalSystem/SubSystems/SubSystem1/%1/Host1").arg(category),
                                       {QStringLiteral("host1"), QStringLiteral("4711")});
        const CCOWatcher::CCOValuesList expected {
            qMakePair(QStringLiteral("Host1"), QStringList {QStringLiteral("host1"), QStringLiteral("4711")})};
        if (!waitFor([&] { return seen == expected; }, 10000))
            result = failed("the watcher did not report the registered values");

        QObject owner;
        auto *receivers = new ReceiverCCO(owner);
        receivers->init(CcoInitParameters {QStringLiteral("/REMOTE/RX%1"), {}, {QStringLiteral("Ip")}});
        QCoreApplication::processEvents();

        if (!runPlugin())
            result = failed("the plug-in did not load, create or destroy an instance");
    }
    QThreadPool::globalInstance()->waitForDone();
    stopOrb();
    if (result == 0)
        std::printf("consumer: ExternalCCODriver %s works from the installed prefix\n", EXTERNALCCODRIVER_VERSION);
    return result;
}
