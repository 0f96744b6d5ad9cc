// One locate registration (device "Dev", info "info") in a process of its own, so that several compete for
// the numbers as separate workstations would. Prints "RESULT registered N" or "RESULT failed".
#include "ccolocateregistration.h"
#include "errorhandler.h"
#include "orbhandlerhost.h"
#include "registrationtuning.h"
#include "tracesettings.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    if (argc != 5) {
        const bool help = argc == 2 && qstrcmp(argv[1], "--help") == 0;
        std::fprintf(help ? stdout : stderr, "usage: locate-registrar CCO-CORBALOC HOST PORT MS-PER-SECOND\n");
        return help ? 0 : 2;
    }
    QCoreApplication app(argc, argv);
    externalCCODriver::tuning::setLocateRegistrationSecond(std::atoi(argv[4]));
    QString number = QStringLiteral("failed");
    TraceSettings::SetTraceFilter(ErrorHandler::TraceDriver);
    TraceSettings::SetTraceCapture([&number](const QString &line) {
        const auto match = QRegularExpression("Successfully registered device for locate .*, (\\d+)$").match(line);
        if (match.hasMatch())
            number = "registered " + match.captured(1);
    });
    CorbaCommon::OrbHandlerHost::Init({"-ORBInitRef", QStringLiteral("CCO=") + argv[1]});
    {
        CCOLocateRegistration registration(argv[2], "Dev", "info", std::atoi(argv[3]), "Locate%1", true);
        registration.wait();
    }
    TraceSettings::SetTraceCapture({});
    std::printf("RESULT %s\n", qPrintable(number));
    CorbaCommon::OrbHandlerHost::Shutdown();
    return 0;
}
