// vorn-host: a console host that loads a driver plug-in the way the
// platform's host does and lets a user or a test drive its value tree.
#include "hostcommands.h"
#include "receiverroles.h"
#include "vornhost.h"

#include "externalccodriver_version.h"
#include "tracesettings.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

#ifndef VORN_HOST_DEFAULT_PLUGIN
#define VORN_HOST_DEFAULT_PLUGIN "libExternalCCODriver.so"
#endif

namespace
{
const char *const commandHelp = R"(

Commands (one per line, from --script and then from stdin; "help" lists them):
  set PATH VALUE | get PATH | select PATH ITEM | items PATH [A,B,C]
  mkvalue string|bool|int|selection PATH [VALUE|A,B,C] | mknode PATH | rm PATH
  tree [PATH] | command PATH | wait MS | waitfor PATH VALUE [TIMEOUT_MS]
  echo TEXT | quit
Results go to stdout, one line each; errors to stderr as "error: ...".

When stdin ends the host quits, unless --script or --stay is given: then it
runs until "quit", SIGINT or SIGTERM. Run it in the background with --stay.
Exit status: 0, 1 when a command failed, 2 when the host could not start.)";

int fail(const QString &reason)
{
    hostError(QStringLiteral("vorn-host: %1").arg(reason));
    return 2;
}

// "corbaloc::...", "corbaname:...", "IOR:..." stand as they are; "HOST:PORT"
// names the CCO's usual object key there.
QString ccoReference(const QString &text)
{
    if (text.startsWith(QLatin1String("corbaloc:")) || text.startsWith(QLatin1String("corbaname:"))
        || text.startsWith(QLatin1String("IOR:")))
        return text;
    return QStringLiteral("corbaloc::%1/CCO").arg(text);
}
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vorn-host"));
    QCoreApplication::setApplicationVersion(QStringLiteral(EXTERNALCCODRIVER_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Loads a driver plug-in, calls its ZRCreate on the event loop's thread and ZRDestroy on quit.")
        + QString::fromLatin1(commandHelp));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption ccoOption(QStringLiteral("cco"),
        QStringLiteral("Where the CCO is: a corbaloc or HOST:PORT (same as "
                       "-ORBInitRef CCO=corbaloc::HOST:PORT/CCO)."),
        QStringLiteral("CORBALOC"));
    const QCommandLineOption orbArgOption(QStringLiteral("orb-arg"),
        QStringLiteral("One argument for ORB_init; repeat it. ORB arguments may also follow --."),
        QStringLiteral("ARG"));
    const QCommandLineOption orbDelayOption(QStringLiteral("orb-delay-ms"),
        QStringLiteral("Bring the ORB up only this long after start."), QStringLiteral("MS"));
    const QCommandLineOption configOption(QStringLiteral("config"),
        QStringLiteral("The INI configuration (a file, or a directory holding vorn.ini)."), QStringLiteral("FILE"));
    const QCommandLineOption traceMaskOption(QStringLiteral("trace-mask"),
        QStringLiteral("Trace levels as bits, e.g. 0x20 for the driver."), QStringLiteral("MASK"));
    const QCommandLineOption traceFileOption(QStringLiteral("trace-file"),
        QStringLiteral("Append traces to FILE instead of stderr."), QStringLiteral("FILE"));
    const QCommandLineOption pluginOption(QStringLiteral("plugin"),
        QStringLiteral("The plug-in to load (default: %1).").arg(QStringLiteral(VORN_HOST_DEFAULT_PLUGIN)),
        QStringLiteral("PATH"), QStringLiteral(VORN_HOST_DEFAULT_PLUGIN));
    const QCommandLineOption noPluginOption(
        QStringLiteral("no-plugin"), QStringLiteral("Run without a plug-in (value tree only)."));
    const QCommandLineOption instanceOption(QStringLiteral("instance"),
        QStringLiteral("Instance name for ZRCreate and the configuration group "
                       "(default: ExternalCCODriver)."),
        QStringLiteral("NAME"), QStringLiteral("ExternalCCODriver"));
    const QCommandLineOption scriptOption(QStringLiteral("script"),
        QStringLiteral("Run the commands of FILE first, then those from stdin."), QStringLiteral("FILE"));
    const QCommandLineOption stayOption(QStringLiteral("stay"), QStringLiteral("Keep running when stdin ends."));
    const QCommandLineOption peerWritesOption(QStringLiteral("allow-peer-writes"),
        QStringLiteral("Let other workstations write the values below the device path that \"receiver\" serves "
                       "(off: the served tree is read-only)."));
    const QCommandLineOption peerWriteLimitOption(QStringLiteral("peer-write-limit"),
        QStringLiteral("Longest value text a peer may write, in bytes (default 4096)."), QStringLiteral("BYTES"));
    for (const QCommandLineOption &option : {ccoOption, orbArgOption, orbDelayOption, configOption, traceMaskOption,
             traceFileOption, pluginOption, noPluginOption, instanceOption, scriptOption, stayOption, peerWritesOption,
             peerWriteLimitOption})
        parser.addOption(option);
    parser.addPositionalArgument(QStringLiteral("orb-args"), QStringLiteral("Arguments for ORB_init, after --."),
        QStringLiteral("[-- ORB arguments]"));

    if (!parser.parse(QCoreApplication::arguments()))
        return fail(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        hostPrint(parser.helpText());
        return 0;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        hostPrint(QStringLiteral("vorn-host %1").arg(QCoreApplication::applicationVersion()));
        return 0;
    }

    HostOptions options;
    if (parser.isSet(ccoOption)) {
        const QString cco = parser.value(ccoOption);
        if (cco.isEmpty())
            return fail(QStringLiteral("--cco needs a corbaloc or HOST:PORT"));
        options.orbArgs << QStringLiteral("-ORBInitRef") << QStringLiteral("CCO=") + ccoReference(cco);
    }
    options.orbArgs << parser.values(orbArgOption) << parser.positionalArguments();
    if (parser.isSet(orbDelayOption)) {
        bool ok = false;
        options.orbDelayMs = parser.value(orbDelayOption).toInt(&ok);
        if (!ok || options.orbDelayMs < 0)
            return fail(QStringLiteral("--orb-delay-ms takes a number of milliseconds, not '%1'")
                            .arg(parser.value(orbDelayOption)));
    }
    options.configLocation = parser.value(configOption);
    options.loadPlugin = !parser.isSet(noPluginOption);
    options.pluginPath = parser.value(pluginOption);
    options.instanceName = parser.value(instanceOption);
    if (options.instanceName.isEmpty())
        return fail(QStringLiteral("--instance needs a name"));
    options.scriptFile = parser.value(scriptOption);
    options.stay = parser.isSet(stayOption);

    ReceiverRoleOptions roles;
    roles.peerWrites = parser.isSet(peerWritesOption);
    if (parser.isSet(peerWriteLimitOption)) {
        bool ok = false;
        roles.peerWriteLimit = parser.value(peerWriteLimitOption).toInt(&ok);
        if (!ok || roles.peerWriteLimit < 0)
            return fail(QStringLiteral("--peer-write-limit takes a number of bytes, not '%1'")
                            .arg(parser.value(peerWriteLimitOption)));
    }
    setReceiverRoleOptions(roles);

    if (parser.isSet(traceMaskOption)) {
        bool ok = false;
        const quint32 mask = parser.value(traceMaskOption).toUInt(&ok, 0);
        if (!ok)
            return fail(QStringLiteral("--trace-mask takes a number such as 0x20, not '%1'")
                            .arg(parser.value(traceMaskOption)));
        TraceSettings::SetTraceFilter(mask);
    }
    if (parser.isSet(traceFileOption) && !TraceSettings::SetTraceFile(parser.value(traceFileOption)))
        return fail(QStringLiteral("cannot open trace file %1").arg(parser.value(traceFileOption)));

    VornHost host(options);
    QString error;
    if (!host.start(&error)) {
        host.shutdown();
        return fail(error);
    }
    const int status = app.exec();
    host.shutdown();
    return status;
}
