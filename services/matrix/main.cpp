// matrix-server: the installation's antenna matrix manager, reachable as
// corbaloc::HOST:PORT/MatrixManager and registered at the CCO under
// CCO/LocalSystem/LocalSubSystem/Workstations/<workstation>/AntennaMatrixManager<id>/IF_MMR_c.
#include "matrixregistrar.h"
#include "matrixservant.h"
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
    return failWith("matrix-server", reason, code);
}

bool number(const QString &text, int min, int max, int &out)
{
    bool ok = false;
    out = text.toInt(&ok);
    return ok && out >= min && out <= max;
}
}

int main(int argc, char *argv[])
{
    ServerRuntime::blockStopSignals();
    // For the help text only; the servers run no Qt event loop.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("matrix-server"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The installation's antenna matrix manager (MatrixManager::IF_MMR_c), reachable as\n"
        "corbaloc::HOST:PORT/MatrixManager and, with --cco, registered at the CCO under\n"
        "CCO/LocalSystem/LocalSubSystem/Workstations/<workstation>/AntennaMatrixManager<id>/IF_MMR_c\n"
        "(retried until the CCO answers, renewed when the CCO loses it, removed on exit).\n"
        "Prints \"READY corbaloc::HOST:PORT/MatrixManager\" once it serves and one\n"
        "\"CALL <operation> <arguments> -> <outcome>\" line per call. Stops on SIGINT/SIGTERM.\n"
        "Commands on stdin, each answered by \"OK <command>\" or \"ERROR <command>: <reason>\":\n"
        "  fault delay OP MS | fault hang OP | fault raise OP EXCEPTION [REASON] | fault clear [OP]\n"
        "  faults | state | quit\n"
        "OP is the operation name as it travels (connect, _get_statusData, _is_a, ...) or *."));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption host(QStringList{QStringLiteral("listen"), QStringLiteral("host")},
                                  QStringLiteral("Address to listen on and to publish (0.0.0.0: all)."),
                                  QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("TCP port; 0 picks a free one."),
                                  QStringLiteral("PORT"), QStringLiteral("0"));
    const QCommandLineOption cco(QStringLiteral("cco"),
                                 QStringLiteral("Where the CCO is, e.g. corbaloc::127.0.0.1:2809/CCO. "
                                                "Without it the matrix manager registers nowhere."),
                                 QStringLiteral("CORBALOC"));
    const QCommandLineOption workstation(QStringLiteral("workstation"),
                                         QStringLiteral("Workstation the matrix manager belongs to "
                                                        "(default: the host name)."),
                                         QStringLiteral("NAME"));
    const QCommandLineOption id(QStringLiteral("id"), QStringLiteral("Matrix id in the registered name."),
                                QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption inputs(QStringLiteral("inputs"), QStringLiteral("Number of input ports (antennas)."),
                                    QStringLiteral("N"), QStringLiteral("16"));
    const QCommandLineOption outputs(QStringLiteral("outputs"),
                                     QStringLiteral("Number of output ports (receivers)."), QStringLiteral("N"),
                                     QStringLiteral("8"));
    const QCommandLineOption noRanges(QStringLiteral("no-ranges"),
                                      QStringLiteral("Ranges not supported: setRanges and clearRanges raise "
                                                     "RangesNotSupported."));
    const QCommandLineOption notInitialised(QStringLiteral("not-initialised"),
                                            QStringLiteral("The matrix reports init false; connect and disconnect "
                                                           "fail with (Dis)ConnectionFailureException."));
    const QCommandLineOption fault(QStringLiteral("fault"),
                                   QStringLiteral("A fault from the start, e.g. \"raise connect "
                                                  "ConnectionFailureException relay stuck\" (repeatable)."),
                                   QStringLiteral("SPEC"));
    const QCommandLineOption callTimeout(QStringLiteral("call-timeout"),
                                         QStringLiteral("Timeout of each call to the CCO, ms."), QStringLiteral("MS"),
                                         QStringLiteral("1000"));
    const QCommandLineOption retry(QStringLiteral("retry-interval"),
                                   QStringLiteral("Pause between registration attempts, ms."), QStringLiteral("MS"),
                                   QStringLiteral("500"));
    const QCommandLineOption check(QStringLiteral("check-interval"),
                                   QStringLiteral("Pause between checks of the registration, ms."),
                                   QStringLiteral("MS"), QStringLiteral("2000"));
    const QCommandLineOption quiet(QStringLiteral("quiet"), QStringLiteral("Do not log calls."));
    parser.addOptions({help, host, port, cco, workstation, id, inputs, outputs, noRanges, notInitialised, fault,
                       callTimeout, retry, check, quiet});
    const ResourceOptions resourceOptions;
    parser.addOptions(resourceOptions.options());

    ResourceLimits resources;
    if (const std::string error = takeOrbArguments(argc, argv, resources.orbArguments); !error.empty())
        return fail(error);
    if (const auto exitCode = parseServerCommandLine(parser, help, argc, argv, "matrix-server"))
        return *exitCode;
    if (parser.isSet(help)) {
        std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail("unexpected argument '" + parser.positionalArguments().first().toStdString() + "' (see --help)");

    int portNumber, matrixId, inputCount, outputCount, callMs, retryMs, checkMs;
    const struct
    {
        const QCommandLineOption &option;
        int min, max;
        int &out;
    } numbers[] = {{port, 0, 65535, portNumber},       {id, 0, 1 << 30, matrixId},
                   {inputs, 1, 65535, inputCount},     {outputs, 1, 65535, outputCount},
                   {callTimeout, 1, 600000, callMs},   {retry, 1, 600000, retryMs},
                   {check, 1, 600000, checkMs}};
    for (const auto &n : numbers) {
        if (!number(parser.value(n.option), n.min, n.max, n.out))
            return fail("invalid --" + n.option.names().first().toStdString() + " '" +
                        parser.value(n.option).toStdString() + "' (" + std::to_string(n.min) + ".." +
                        std::to_string(n.max) + ")");
    }
    if (const std::string error = resourceOptions.read(parser, resources); !error.empty())
        return fail(error);
    if (parser.isSet(callTimeout))
        resources.given.insert("clientCallTimeOutPeriod");
    const std::string ccoLocation = parser.value(cco).toStdString();
    if (parser.isSet(cco) && ccoLocation.rfind("corbaloc:", 0) != 0 && ccoLocation.rfind("IOR:", 0) != 0)
        return fail("invalid --cco '" + ccoLocation + "' (corbaloc::HOST:PORT/CCO expected)");
    const std::string ws = parser.isSet(workstation) ? parser.value(workstation).toStdString() : localHostName();
    if (ws.empty() || ws.find('/') != std::string::npos)
        return fail("invalid --workstation '" + ws + "'");

    MatrixServant::Config config;
    config.inputs = unsigned(inputCount);
    config.outputs = unsigned(outputCount);
    config.rangesSupported = !parser.isSet(noRanges);
    config.initialised = !parser.isSet(notInitialised);

    FaultInjector faults(MatrixServant::exceptionNames());
    for (const QString &spec : parser.values(fault)) {
        const std::string error = faults.command(spec.toStdString());
        if (!error.empty())
            return fail("--fault: " + error);
    }
    CallLog log;
    log.setQuiet(parser.isSet(quiet));

    ServerRuntime runtime("matrix-server");
    const std::string error = runtime.start(parser.value(host).toStdString(), portNumber, callMs, 500, resources);
    if (!error.empty())
        return fail(error, 1);

    {
        MatrixServant matrix(config, faults, log);
        std::string corbaloc;
        CORBA::Object_var self;
        try {
            corbaloc = runtime.publish(&matrix, "MatrixManager");
            self = runtime.reference("MatrixManager");
        } catch (const CORBA::Exception &e) {
            return fail(std::string("cannot publish the matrix manager: ") + e._name(), 1);
        }

        const std::string name = "CCO/LocalSystem/LocalSubSystem/Workstations/" + ws + "/AntennaMatrixManager" +
                                 std::to_string(matrixId) + "/IF_MMR_c";
        MatrixRegistrar registrar(runtime.orb(), ccoLocation, name, self);
        if (!ccoLocation.empty())
            registrar.start(retryMs, checkMs);
        runtime.setBeforeShutdown([&] { registrar.stop(true); });

        runtime.run(corbaloc, faults, [&](const std::string &line) -> std::string {
            if (line == "state") {
                printLine("CONNECTIONS " + matrix.connectionText());
                printLine("STATUS " + matrix.statusText());
                return {};
            }
            if (line == "help") {
                printLine("matrix-server: state prints connections and status");
                return {};
            }
            return "?";
        });
        runtime.stop();
    }
    printLine("STOPPED");
    flushOutput();
    return 0;
}
