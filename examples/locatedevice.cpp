// Registers a device for locate at the CCO, or removes its registrations, and
// ends when that work has ended. Only the trace (--trace) tells how it went.
#include "exampleplatform.h"

#include <ccolocateregistration.h>
#include <externalccodriver_version.h>

#include <QCoreApplication>

#include <cstdio>
#include <memory>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("locate-device"));
    app.setApplicationVersion(QStringLiteral(EXTERNALCCODRIVER_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Registers a device for locate at the CCO under the first free of the names PATTERN 1 to 10 below the own "
        "workstation, or with --remove removes the entries of HOST and PORT. Takes from about 1 s up to minutes "
        "when the CCO is missing or every name is taken; --trace shows the outcome."));
    parser.addHelpOption();
    parser.addVersionOption();
    exampleplatform::addOptions(parser);
    parser.addOption(QCommandLineOption(QStringLiteral("pattern"),
        QStringLiteral("The numbered name; %1 is the number (default Locate%1)."), QStringLiteral("PATTERN"),
        QStringLiteral("Locate%1")));
    parser.addOption(QCommandLineOption(QStringLiteral("remove"), QStringLiteral("Remove instead of register.")));
    parser.addPositionalArgument(QStringLiteral("HOST"), QStringLiteral("the device's host, registered first"));
    parser.addPositionalArgument(QStringLiteral("DEVICE"), QStringLiteral("the device's name"));
    parser.addPositionalArgument(QStringLiteral("INFO"), QStringLiteral("a further device string"));
    parser.addPositionalArgument(QStringLiteral("PORT"), QStringLiteral("registered last, in decimal"));
    parser.process(app);
    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() != 4)
        return exampleplatform::badUsage(QStringLiteral("HOST DEVICE INFO PORT expected"));
    bool ok = false;
    const int port = arguments.at(3).toInt(&ok, 10);
    if (!ok || port <= 0 || port > 65535)
        return exampleplatform::badUsage(QStringLiteral("'%1' is not a port").arg(arguments.at(3)));
    const QString pattern = parser.value(QStringLiteral("pattern"));
    const bool doRegister = !parser.isSet(QStringLiteral("remove"));

    exampleplatform::Platform platform(parser);
    if (!platform.ok())
        return 1;

    //! [locate]
    // The constructor starts the work on the object's own thread.
    auto registration = std::make_unique<CCOLocateRegistration>(
        arguments.at(0), arguments.at(1), arguments.at(2), port, pattern, doRegister);
    // It is a QThread: finished() says the work has ended, however it went.
    QObject::connect(registration.get(), &QThread::finished, &app, &QCoreApplication::quit);
    if (!registration->isFinished())
        app.exec();
    registration.reset(); // before the platform goes; returns at once here
    //! [locate]

    std::printf("%s ended\n", doRegister ? "registration" : "removal");
    return 0;
}
