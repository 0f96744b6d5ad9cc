#include "vornhost.h"

#include "antennacommands.h"
#include "receiverroles.h"
#include "signalwatcher.h"

#include "cfgcenter.h"
#include "cfgcenterhost.h"
#include "orbhandlerhost.h"
#include "treehost.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>
#include <csignal>

VornHost::VornHost(HostOptions hostOptions, QObject *parent)
    : QObject(parent)
    , options(std::move(hostOptions))
    , runner(new CommandRunner(commands, *this, this))
{
    addBuiltinCommands(commands);
    addReceiverRoleCommands(commands);
    addAntennaCommands(commands);
}

VornHost::~VornHost() = default;

bool VornHost::start(QString *error)
{
    signalWatcher = new SignalWatcher(this);
    connect(signalWatcher, &SignalWatcher::signalReceived, this, [this](int signalNumber) {
        hostError(QStringLiteral("vorn-host: %1, shutting down")
                      .arg(signalNumber == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM")));
        requestQuit();
    });

    if (!options.configLocation.isEmpty()) {
        if (!QFileInfo::exists(options.configLocation)) {
            *error = QStringLiteral("configuration %1 does not exist").arg(options.configLocation);
            return false;
        }
        CfgCenterHost::SetConfigLocation(options.configLocation);
    }
    values::TreeHost::Create();

    if (options.orbDelayMs > 0) {
        QTimer::singleShot(options.orbDelayMs, this, [this] {
            if (!quitting)
                bringUpOrb();
        });
    } else {
        bringUpOrb();
        if (!orbStarted) {
            *error = QStringLiteral("the ORB could not be initialised with the given ORB arguments");
            return false;
        }
    }

    if (options.loadPlugin) {
        if (!plugin.load(options.pluginPath, error))
            return false;
        if (!plugin.createInstance(options.instanceName, error))
            return false;
        hostError(QStringLiteral("vorn-host: created instance %1 of %2").arg(options.instanceName, plugin.path()));
    }

    if (!options.scriptFile.isEmpty() && !runner->addScript(options.scriptFile, error))
        return false;
    runner->readStdin();
    connect(runner, &CommandRunner::stdinFinished, this, [this] {
        // `vorn-host < script` runs the script and ends; with --script or
        // --stay the host keeps running until quit or a signal.
        if (!options.stay && options.scriptFile.isEmpty())
            requestQuit();
    });
    // The commands run once the event loop runs.
    QTimer::singleShot(0, runner, &CommandRunner::start);
    return true;
}

void VornHost::bringUpOrb()
{
    orbStarted = CorbaCommon::OrbHandlerHost::Init(options.orbArgs);
    if (orbStarted) {
        hostError(QStringLiteral("vorn-host: ORB is up"));
    } else if (options.orbDelayMs > 0) {
        hostError(QStringLiteral("vorn-host: the ORB could not be initialised with the given ORB arguments"));
        quitting = true;
        runner->stop();
        plugin.destroyInstance();
        QCoreApplication::exit(2);
    }
}

void VornHost::shutdown()
{
    runner->stop();
    if (plugin.instance()) {
        plugin.destroyInstance();
        hostError(QStringLiteral("vorn-host: destroyed instance %1").arg(options.instanceName));
    }
    values::TreeHost::Destroy();
    if (orbStarted)
        CorbaCommon::OrbHandlerHost::Shutdown();
    orbStarted = false;
    delete signalWatcher;
    signalWatcher = nullptr;
}

IDllInstance *VornHost::pluginInstance() const
{
    return plugin.instance();
}

void *VornHost::pluginSymbol(const char *name) const
{
    return plugin.symbol(name);
}

void VornHost::requestQuit()
{
    if (quitting)
        return;
    quitting = true;
    runner->stop();
    // The instance goes while the event loop still runs, so that what it
    // leaves for deferred deletion is deleted before the tree and the ORB go.
    if (plugin.instance()) {
        plugin.destroyInstance();
        hostError(QStringLiteral("vorn-host: destroyed instance %1").arg(options.instanceName));
    }
    QCoreApplication::exit(runner->failureCount() > 0 ? 1 : 0);
}
