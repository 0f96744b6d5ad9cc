// cco-server: the installation's central configuration and naming service,
// reachable as corbaloc::HOST:PORT/CCO.
#include "ccoservant.h"
#include "ccostore.h"
#include "resourcelimits.h"
#include "servercommandline.h"
#include "serverruntime.h"

#include <QCommandLineParser>
#include <QCoreApplication>


using namespace services;

namespace
{
int fail(const std::string &reason, int code = 2)
{
    return failWith("cco-server", reason, code);
}
}

int main(int argc, char *argv[])
{
    ServerRuntime::blockStopSignals();
    // For the help text only; the servers run no Qt event loop.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("cco-server"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The installation's central configuration and naming service (CCO), reachable as\n"
        "corbaloc::HOST:PORT/CCO. Prints \"READY corbaloc::HOST:PORT/CCO\" once it serves and one\n"
        "\"CALL <operation> <arguments> -> <outcome>\" line per call. Stops on SIGINT/SIGTERM.\n"
        "Commands on stdin, each answered by \"OK <command>\" or \"ERROR <command>: <reason>\":\n"
        "  fault delay OP[@NAME] MS | fault hang OP[@NAME] | fault raise OP[@NAME] EXCEPTION\n"
        "  fault clear [OP] | faults | dump | stats | quit\n"
        "With a state file, stats ends with \"state: commits=N synced=N flushes=N backups=N\": changes\n"
        "committed, changes known to be on disk, syncs of the log and copies to PATH.previous.\n"
        "OP is the operation name as it travels (ResolveValues, _is_a, ...) or *."));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption host(QStringList{QStringLiteral("listen"), QStringLiteral("host")},
                                  QStringLiteral("Address to listen on and to publish (0.0.0.0: all)."),
                                  QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("TCP port; 0 picks a free one."),
                                  QStringLiteral("PORT"), QStringLiteral("2809"));
    const QCommandLineOption system(QStringLiteral("system"), QStringLiteral("System name (empty: not available)."),
                                    QStringLiteral("NAME"), QStringLiteral("VornSystem"));
    const QCommandLineOption subsystem(QStringLiteral("subsystem"), QStringLiteral("This CCO's own subsystem."),
                                       QStringLiteral("NAME"), QStringLiteral("SubSystem1"));
    const QCommandLineOption workstation(QStringLiteral("workstation"),
                                         QStringLiteral("This CCO's workstation (default: the host name)."),
                                         QStringLiteral("NAME"));
    const QCommandLineOption subsystems(
        QStringLiteral("subsystems"),
        QStringLiteral("Comma-separated subsystems that GetSubSystems lists (default: the own one; \"\": none)."),
        QStringLiteral("LIST"));
    const QCommandLineOption workstations(QStringLiteral("workstations"),
                                          QStringLiteral("Further workstations of the own subsystem."),
                                          QStringLiteral("LIST"));
    const QCommandLineOption systemWorkstations(QStringLiteral("system-workstations"),
                                                QStringLiteral("Workstations that GetSystemWorkstations lists."),
                                                QStringLiteral("LIST"));
    const QCommandLineOption stateFile(
        QStringLiteral("state-file"),
        QStringLiteral("Keep registrations across restarts in this SQLite database (WAL mode; readable with the "
                       "sqlite3 shell). A consistent copy is kept as PATH.previous; a state file of the former "
                       "journal format is taken over once and kept as PATH.journal."),
        QStringLiteral("PATH"));
    const QCommandLineOption onDamage(QStringLiteral("on-damaged-state"),
                                      QStringLiteral("When the state file is no database or fails its check: refuse "
                                                     "to start, start empty, or start from PATH.previous (the "
                                                     "damaged file is kept as PATH.damaged)."),
                                      QStringLiteral("refuse|empty|previous"), QStringLiteral("refuse"));
    const QCommandLineOption stateSync(QStringLiteral("state-sync-ms"),
                                       QStringLiteral("0: each change is on disk before it is acknowledged (one disk "
                                                      "flush per registration). N: each change is committed before "
                                                      "it is acknowledged (a killed server loses none) and on disk "
                                                      "at most N ms later."),
                                       QStringLiteral("MS"), QStringLiteral("0"));
    const CcoStore::Limits storeDefaults;
    const CcoServant::Limits callbackDefaults;
    const auto limitOption = [](const char *name, const char *help, std::size_t value) {
        return QCommandLineOption(QString::fromLatin1(name), QString::fromLatin1(help), QStringLiteral("N"),
                                  QString::number(value));
    };
    const QCommandLineOption maxNameLength = limitOption("max-name-length", "Longest name, bytes (InvalidName beyond).",
                                                         storeDefaults.nameLength);
    const QCommandLineOption maxNameDepth =
        limitOption("max-name-depth", "Most segments of a name, counted from CCO/ (InvalidName beyond).",
                    storeDefaults.nameDepth);
    const QCommandLineOption maxValues =
        limitOption("max-values", "Most strings per binding (IMP_LIMIT beyond).", storeDefaults.values);
    const QCommandLineOption maxValueLength =
        limitOption("max-value-length", "Longest string or object reference, bytes (IMP_LIMIT beyond).",
                    storeDefaults.valueLength);
    const QCommandLineOption maxBindings =
        limitOption("max-bindings", "Most bindings in the store (NO_RESOURCES beyond).", storeDefaults.bindings);
    const QCommandLineOption maxEmptyContexts =
        limitOption("max-empty-contexts",
                    "Emptied contexts kept for their place in listings; beyond, the oldest are freed.",
                    storeDefaults.emptyContexts);
    const QCommandLineOption maxCallbacks =
        limitOption("max-callbacks", "Most callback registrations at a time (NO_RESOURCES beyond).",
                    callbackDefaults.callbacks);
    const QCommandLineOption fault(QStringLiteral("fault"),
                                   QStringLiteral("A fault from the start, e.g. \"delay ResolveValues 2000\" "
                                                  "(repeatable)."),
                                   QStringLiteral("SPEC"));
    const QCommandLineOption callTimeout(QStringLiteral("call-timeout"),
                                         QStringLiteral("Timeout of the server's own calls (callbacks), ms."),
                                         QStringLiteral("MS"), QStringLiteral("3000"));
    const QCommandLineOption namingOnly(QStringLiteral("naming-only"),
                                        QStringLiteral("Serve only the naming interface (IF_CCO_c_NamingCorba) "
                                                       "under the key CCO: an object that is not a full CCO."));
    const QCommandLineOption quiet(QStringLiteral("quiet"), QStringLiteral("Do not log calls."));
    parser.addOptions({help, host, port, system, subsystem, workstation, subsystems, workstations, systemWorkstations,
                       stateFile, onDamage, stateSync, maxNameLength, maxNameDepth, maxValues, maxValueLength, maxBindings,
                       maxEmptyContexts, maxCallbacks, fault, callTimeout, namingOnly, quiet});
    const ResourceOptions resourceOptions;
    parser.addOptions(resourceOptions.options());

    ResourceLimits resources;
    if (const std::string error = takeOrbArguments(argc, argv, resources.orbArguments); !error.empty())
        return fail(error);
    if (const auto exitCode = parseServerCommandLine(parser, help, argc, argv, "cco-server"))
        return *exitCode;
    if (parser.isSet(help)) {
        std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail("unexpected argument '" + parser.positionalArguments().first().toStdString() + "' (see --help)");

    bool ok = false;
    const int portNumber = parser.value(port).toInt(&ok);
    if (!ok || portNumber < 0 || portNumber > 65535)
        return fail("invalid --port '" + parser.value(port).toStdString() + "'");
    const int callMs = parser.value(callTimeout).toInt(&ok);
    if (!ok || callMs <= 0)
        return fail("invalid --call-timeout '" + parser.value(callTimeout).toStdString() + "'");
    if (const std::string error = resourceOptions.read(parser, resources); !error.empty())
        return fail(error);
    if (parser.isSet(callTimeout))
        resources.given.insert("clientCallTimeOutPeriod");

    CcoStore::Limits storeLimits;
    CcoServant::Limits callbackLimits;
    callbackLimits.notifyTimeoutMs = (unsigned long)(callMs);
    const struct
    {
        const QCommandLineOption &option;
        std::size_t &out;
    } limits[] = {{maxNameLength, storeLimits.nameLength}, {maxNameDepth, storeLimits.nameDepth},
                  {maxValues, storeLimits.values},         {maxValueLength, storeLimits.valueLength},
                  {maxBindings, storeLimits.bindings},     {maxEmptyContexts, storeLimits.emptyContexts},
                  {maxCallbacks, callbackLimits.callbacks}};
    for (const auto &l : limits) {
        const qulonglong value = parser.value(l.option).toULongLong(&ok);
        if (!ok || value < 1 || value > 100000000)
            return fail("invalid --" + l.option.names().first().toStdString() + " '" +
                        parser.value(l.option).toStdString() + "' (1..100000000)");
        l.out = std::size_t(value);
    }
    const int syncMs = parser.value(stateSync).toInt(&ok);
    if (!ok || syncMs < 0 || syncMs > 600000)
        return fail("invalid --state-sync-ms '" + parser.value(stateSync).toStdString() + "' (0..600000)");
    const QString damage = parser.value(onDamage);
    if (damage != QLatin1String("refuse") && damage != QLatin1String("empty") && damage != QLatin1String("previous"))
        return fail("invalid --on-damaged-state '" + damage.toStdString() + "' (refuse, empty or previous)");

    CcoStore::Config config;
    config.system = parser.value(system).toStdString();
    config.subsystem = parser.value(subsystem).toStdString();
    config.workstation = parser.isSet(workstation) ? parser.value(workstation).toStdString() : localHostName();
    config.subsystems = parser.isSet(subsystems) ? splitList(parser.value(subsystems).toStdString())
                                                 : std::vector<std::string>{config.subsystem};
    config.workstations = splitList(parser.value(workstations).toStdString());

    CcoStore store(config, storeLimits);
    if (parser.isSet(stateFile)) {
        std::vector<std::string> notes;
        const auto action = damage == QLatin1String("empty")      ? CcoStore::OnDamage::StartEmpty
                            : damage == QLatin1String("previous") ? CcoStore::OnDamage::UsePrevious
                                                                  : CcoStore::OnDamage::Refuse;
        const std::string error = store.useStateFile(parser.value(stateFile), action, syncMs, &notes);
        for (const auto &note : notes)
            std::fprintf(stderr, "cco-server: %s\n", note.c_str());
        if (!error.empty())
            return fail(error + (action == CcoStore::OnDamage::Refuse
                                     ? " (--on-damaged-state empty or previous starts anyway)"
                                     : ""),
                        1);
    }

    FaultInjector faults(CcoNaming::exceptionNames());
    for (const QString &spec : parser.values(fault)) {
        const std::string error = faults.command(spec.toStdString());
        if (!error.empty())
            return fail("--fault: " + error);
    }
    CallLog log;
    log.setQuiet(parser.isSet(quiet));

    ServerRuntime runtime("cco-server");
    const std::string error = runtime.start(parser.value(host).toStdString(), portNumber, callMs, 500, resources);
    if (!error.empty())
        return fail(error, 1);

    {
        CcoNaming naming(runtime.orb(), store, faults, log);
        CcoServant cco(naming, runtime.rootPoa(), callbackLimits);
        runtime.setBeforeShutdown([&] { cco.stopCallbacks(); });
        runtime.setBeforeDestroy([&] { store.dropObjectHandles(); });
        cco.setSystemWorkstations(splitList(parser.value(systemWorkstations).toStdString()));
        CcoNamingServant namingServant(naming);

        std::string corbaloc;
        try {
            if (parser.isSet(namingOnly))
                corbaloc = runtime.publish(&namingServant, "CCO");
            else
                corbaloc = runtime.publish(&cco, "CCO");
        } catch (const CORBA::Exception &e) {
            return fail(std::string("cannot publish the CCO: ") + e._name(), 1);
        }

        runtime.run(corbaloc, faults, [&](const std::string &line) -> std::string {
            if (line == "dump") {
                for (const auto &entry : store.dump())
                    printLine("ENTRY " + entry);
                return {};
            }
            if (line == "stats") {
                printLine("STATS bindings=" + std::to_string(store.bindingCount()) +
                          " contexts=" + std::to_string(store.contextCount()) +
                          " callbacks=" + std::to_string(cco.callbackCount()) + " refused: " + store.refusals() +
                          (store.stateStats().empty() ? std::string() : " state: " + store.stateStats()));
                return {};
            }
            if (line == "help") {
                printLine("cco-server: dump prints every binding, stats the counts and refusals");
                return {};
            }
            return "?";
        });
        // The servants live on this stack: the ORB must be gone first.
        runtime.stop();
    }
    printLine("STOPPED");
    flushOutput();
    return 0;
}
