// One locate registration (or removal) in a process of its own, so that tests
// can let several registrars compete for the numbers as separate workstations
// would. Prints every driver trace line to stdout and ends with
// "RESULT registered N", "RESULT failed" or "RESULT unregistered".
#include "ccolocateregistration.h"
#include "errorhandler.h"
#include "orbhandler.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace
{
// Reaches the test-only delay setting.
class Registrar : public CCOLocateRegistration
{
public:
    using CCOLocateRegistration::setSecondForTests;
};

std::mutex outputMutex;
QString successLine;
bool unregistered = false;

void printLine(const QString &line)
{
    std::lock_guard<std::mutex> lock(outputMutex);
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Runs one locate registration against a CCO and exits.");
    parser.addHelpOption();
    parser.addOptions({
        {"cco", "corbaloc of the CCO (required).", "corbaloc"},
        {"host", "Host string of the device.", "host", "host"},
        {"device", "Device name.", "name", "device"},
        {"info", "Device info string.", "info", "info"},
        {"port", "Port of the device.", "port", "0"},
        {"pattern", "Name pattern with %1 for the number.", "pattern", "Locate%1"},
        {"unregister", "Remove the device's registrations instead."},
        {"seed", "Seed rand() first, as a host program might (0: leave unseeded).", "seed", "0"},
        {"second", "Milliseconds that stand for one second of waiting.", "ms", "0"},
    });
    parser.process(app);
    if (!parser.isSet("cco")) {
        std::fprintf(stderr, "locate-registrar: --cco is required\n");
        return 2;
    }
    bool ok = false;
    const int port = parser.value("port").toInt(&ok);
    if (!ok) {
        std::fprintf(stderr, "locate-registrar: --port takes a number\n");
        return 2;
    }
    if (const unsigned seed = parser.value("seed").toUInt())
        std::srand(seed);
    Registrar::setSecondForTests(parser.value("second").toInt());

    ErrorHandler::Instance()->SetTraceFilter(0x20);
    ErrorHandler::Instance()->SetTraceCapture([](const QString &line) {
        if (line.contains(QLatin1String("Successfully registered device for locate")))
            successLine = line;
        if (line.contains(QLatin1String("Successfully unregistered devices for locate")))
            unregistered = true;
        printLine(QStringLiteral("TRACE ") + line);
    });
    if (!CorbaCommon::OrbHandler::Instance().Init({"-ORBInitRef", "CCO=" + parser.value("cco")})) {
        std::fprintf(stderr, "locate-registrar: the ORB did not come up\n");
        return 1;
    }

    {
        CCOLocateRegistration registration(parser.value("host"), parser.value("device"), parser.value("info"), port,
            parser.value("pattern"), !parser.isSet("unregister"));
        registration.wait();
    }

    const QRegularExpressionMatch match = QRegularExpression(QStringLiteral(", (\\d+)$")).match(successLine);
    if (parser.isSet("unregister"))
        printLine(unregistered ? QStringLiteral("RESULT unregistered") : QStringLiteral("RESULT failed"));
    else if (match.hasMatch())
        printLine(QStringLiteral("RESULT registered ") + match.captured(1));
    else
        printLine(QStringLiteral("RESULT failed"));
    ErrorHandler::Instance()->SetTraceCapture({});
    CorbaCommon::OrbHandler::Instance().Shutdown();
    return 0;
}
