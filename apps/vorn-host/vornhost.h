// The host application's own part: brings up the ORB, the value tree and the
// configuration, loads the driver plug-in and creates its instance, feeds the
// commands to the command table, and tears everything down in order.
#pragma once

#include "commandrunner.h"
#include "hostcommands.h"
#include "pluginloader.h"

#include <QObject>
#include <QString>
#include <QStringList>

class SignalWatcher;

struct HostOptions
{
    QStringList orbArgs;
    // The ORB comes up this long after start; 0 brings it up at once.
    int orbDelayMs = 0;
    QString configLocation;
    bool loadPlugin = true;
    QString pluginPath;
    QString instanceName;
    QString scriptFile;
    // Keep running when stdin ends.
    bool stay = false;
};

class VornHost : public QObject, public HostServices
{
    Q_OBJECT

public:
    explicit VornHost(HostOptions options, QObject *parent = nullptr);
    ~VornHost() override;

    // On the thread that runs the event loop, before it runs. false with
    // `error` set when the host cannot start; shutdown() is then still due.
    bool start(QString *error);
    // After the event loop: destroys the instance if there still is one, the
    // value tree and the ORB.
    void shutdown();

    // Where later features add their commands.
    HostCommands &commandTable() { return commands; }

    IDllInstance *pluginInstance() const override;
    void *pluginSymbol(const char *name) const override;
    void requestQuit() override;

private:
    void bringUpOrb();

    HostOptions options;
    HostCommands commands;
    PluginLoader plugin;
    CommandRunner *runner;
    SignalWatcher *signalWatcher = nullptr;
    bool quitting = false;
    bool orbStarted = false;
};
