// Mirrors the receivers that workstations registered at the CCO and prints
// each one as it comes and goes, until the program is stopped.
#include "exampleplatform.h"

#include <externalccodriver_version.h>
#include <receivercco.h>

#include <QCoreApplication>

#include <cstdio>

using externalCCODriver::mirroring::CcoInitParameters;
using externalCCODriver::mirroring::CcoReceiverProperties;
using externalCCODriver::mirroring::ReceiverCCO;
using externalCCODriver::mirroring::ReceiverIdentifier;

namespace
{
void print(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

// "HOST:PORT,HOST:PORT" as identifiers; false for an item that is not one.
bool parseReceivers(const QString &text, QList<ReceiverIdentifier> *receivers)
{
    for (const QString &item : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const int colon = item.lastIndexOf(QLatin1Char(':'));
        bool ok = false;
        const int port = item.mid(colon + 1).toInt(&ok, 10);
        if (colon <= 0 || !ok || port <= 0 || port > 65535)
            return false;
        receivers->append(ReceiverIdentifier(item.left(colon), port));
    }
    return true;
}
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("mirror-receivers"));
    app.setApplicationVersion(QStringLiteral(EXTERNALCCODRIVER_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Mirrors the receivers registered at the CCO into the local value tree and prints each one that comes or "
        "goes. The first list arrives about 15 s after the start."));
    parser.addHelpOption();
    parser.addVersionOption();
    exampleplatform::addOptions(parser);
    parser.addOption(QCommandLineOption(QStringLiteral("pattern"),
        QStringLiteral("Local tree path of each receiver; %1 is its number (default /REMOTE/RX%1)."),
        QStringLiteral("PATH"), QStringLiteral("/REMOTE/RX%1")));
    parser.addOption(QCommandLineOption(QStringLiteral("values"),
        QStringLiteral("Comma-separated names of the values to mirror (default Frequency)."), QStringLiteral("NAMES"),
        QStringLiteral("Frequency")));
    parser.addOption(QCommandLineOption(QStringLiteral("exclude"),
        QStringLiteral("Comma-separated receivers never to mirror."), QStringLiteral("HOST:PORT,...")));
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        return exampleplatform::badUsage(QStringLiteral("no arguments expected"));
    const QString pattern = parser.value(QStringLiteral("pattern"));
    if (!pattern.contains(QLatin1String("%1")))
        return exampleplatform::badUsage(QStringLiteral("the pattern must hold %1"));
    QList<ReceiverIdentifier> excluded;
    if (!parseReceivers(parser.value(QStringLiteral("exclude")), &excluded))
        return exampleplatform::badUsage(QStringLiteral("--exclude takes HOST:PORT items"));

    exampleplatform::Platform platform(parser);
    if (!platform.ok())
        return 1;

    // Declared after the platform, so that the mirrors go before the value
    // tree and the ORB do.
    QObject owner;
    //! [mirror]
    auto *receivers = new ReceiverCCO(owner); // a Qt child of owner
    QObject::connect(receivers, &ReceiverCCO::receiverConnected, receivers, [](const CcoReceiverProperties &receiver) {
        print(QStringLiteral("connected index=%1 ip=%2").arg(receiver.index).arg(receiver.ip));
        for (auto it = receiver.valuePaths.cbegin(); it != receiver.valuePaths.cend(); ++it)
            print(QStringLiteral("  %1 at %2").arg(it.key(), it.value()));
    });
    QObject::connect(receivers, &ReceiverCCO::receiverDisconnected, receivers,
        [](int index) { print(QStringLiteral("disconnected index=%1").arg(index)); });

    CcoInitParameters parameters;
    parameters.subTreePattern = pattern; // e.g. "/REMOTE/RX%1"
    parameters.mirroredValues = parser.value(QStringLiteral("values")).split(QLatin1Char(','), Qt::SkipEmptyParts);
    parameters.excludedReceivers = excluded;
    receivers->init(parameters); // after connecting: starts polling the CCO
    //! [mirror]

    print(QStringLiteral("mirroring below %1").arg(pattern));
    return app.exec();
}
