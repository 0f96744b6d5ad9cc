// cco-server: the installation's central configuration and naming service,
// reachable as corbaloc::HOST:PORT/CCO.
#include "ccoservant.h"
#include "ccostore.h"
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
        "  fault clear [OP] | faults | dump | quit\n"
        "OP is the operation name as it travels (ResolveValues, _is_a, ...) or *."));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption host(QStringLiteral("host"),
                                  QStringLiteral("Address to listen on and to publish (0.0.0.0: all)."),
                                  QStringLiteral("ADDR"), QStringLiteral("127.0.0.1"));
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
    const QCommandLineOption stateFile(QStringLiteral("state-file"),
                                       QStringLiteral("Keep registrations in this file across restarts."),
                                       QStringLiteral("PATH"));
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
                       stateFile, fault, callTimeout, namingOnly, quiet});

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

    CcoStore::Config config;
    config.system = parser.value(system).toStdString();
    config.subsystem = parser.value(subsystem).toStdString();
    config.workstation = parser.isSet(workstation) ? parser.value(workstation).toStdString() : localHostName();
    config.subsystems = parser.isSet(subsystems) ? splitList(parser.value(subsystems).toStdString())
                                                 : std::vector<std::string>{config.subsystem};
    config.workstations = splitList(parser.value(workstations).toStdString());

    CcoStore store(config);
    if (parser.isSet(stateFile)) {
        const std::string error = store.useStateFile(parser.value(stateFile));
        if (!error.empty())
            return fail(error, 1);
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
    const std::string error = runtime.start(parser.value(host).toStdString(), portNumber, callMs, 500);
    if (!error.empty())
        return fail(error, 1);

    {
        CcoNaming naming(runtime.orb(), store, faults, log);
        CcoServant cco(naming, runtime.rootPoa());
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
            if (line == "help") {
                printLine("cco-server: dump prints every binding");
                return {};
            }
            return "?";
        });
        // The servants live on this stack: the ORB must be gone first.
        runtime.stop();
    }
    printLine("STOPPED");
    return 0;
}
