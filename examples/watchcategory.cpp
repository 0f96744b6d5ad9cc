// Watches one category path at the CCO and prints every list that the
// watcher publishes, until the program is stopped.
#include "exampleplatform.h"

#include <ccowatcher.h>
#include <externalccodriver_version.h>

#include <QCoreApplication>

#include <cstdio>

using externalCCODriver::CCOWatcher;

namespace
{
void print(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

// One line per entry: the object's name, then its value strings quoted.
void printList(const CCOWatcher::CCOValuesList &list)
{
    print(QStringLiteral("list of %1").arg(list.size()));
    for (const auto &entry : list) {
        QStringList quoted;
        for (const QString &value : entry.second)
            quoted << QLatin1Char('"') + value + QLatin1Char('"');
        print(QStringLiteral("  %1: %2").arg(entry.first, quoted.join(QLatin1Char(' '))));
    }
}

int positive(const QCommandLineParser &parser, const QString &name, bool zeroAllowed)
{
    bool ok = false;
    const int number = parser.value(name).toInt(&ok, 10);
    return ok && (number > 0 || (zeroAllowed && number == 0)) ? number : -1;
}
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("watch-category"));
    app.setApplicationVersion(QStringLiteral(EXTERNALCCODRIVER_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Prints the objects registered at the CCO under a category path in every subsystem, with their value "
        "strings, each time that list changes."));
    parser.addHelpOption();
    parser.addVersionOption();
    exampleplatform::addOptions(parser);
    parser.addOption(QCommandLineOption(QStringLiteral("interval"),
        QStringLiteral("Pause between two polls in ms (default 5000)."), QStringLiteral("MS"), QStringLiteral("5000")));
    parser.addOption(QCommandLineOption(QStringLiteral("attempts"),
        QStringLiteral("Attempt limit while waiting for the ORB and the CCO (default 10)."), QStringLiteral("N"),
        QStringLiteral("10")));
    parser.addPositionalArgument(
        QStringLiteral("CATEGORY"), QStringLiteral("The category path, e.g. CentralServices/Receiver/PulseAnalysis."));
    parser.process(app);
    if (parser.positionalArguments().size() != 1)
        return exampleplatform::badUsage(QStringLiteral("one CATEGORY expected"));
    const QString category = parser.positionalArguments().constFirst();
    const int pollInterval = positive(parser, QStringLiteral("interval"), false);
    const int attemptLimit = positive(parser, QStringLiteral("attempts"), true);
    if (pollInterval < 0 || attemptLimit < 0)
        return exampleplatform::badUsage(QStringLiteral("--interval and --attempts take whole numbers"));

    exampleplatform::Platform platform(parser);
    if (!platform.ok())
        return 1;

    //! [watch]
    // On the stack, after the platform: its destructor waits for a running
    // query, which needs the ORB.
    CCOWatcher watcher(pollInterval, attemptLimit, category);
    // The list is emitted on a pool thread; with `watcher` as the context the
    // slot runs on this thread, queued.
    QObject::connect(&watcher, &CCOWatcher::resultListChanged, &watcher, printList);
    watcher.init(); // after connecting, on the thread that runs the event loop
    //! [watch]

    print(QStringLiteral("watching %1").arg(category));
    return app.exec();
}
