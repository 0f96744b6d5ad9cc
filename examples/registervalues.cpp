// Registers a value list at the CCO, waits until the CCO lists it, removes it
// again and waits until it is gone. The registration itself reports nothing,
// so a CCOWatcher on the same category reads it back.
#include "exampleplatform.h"

#include <ccoregistration.h>
#include <ccowatcher.h>
#include <externalccodriver_version.h>

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

using externalCCODriver::CCORegistration;
using externalCCODriver::CCOWatcher;

namespace
{
void print(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

bool isListed(const CCOWatcher::CCOValuesList &list, const QString &name, const QStringList &values)
{
    for (const auto &entry : list) {
        if (entry.first == name && entry.second == values)
            return true;
    }
    return false;
}

bool isListed(const CCOWatcher::CCOValuesList &list, const QString &name)
{
    for (const auto &entry : list) {
        if (entry.first == name)
            return true;
    }
    return false;
}
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("register-values"));
    app.setApplicationVersion(QStringLiteral(EXTERNALCCODRIVER_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Registers VALUE... at the CCO as NAME under CATEGORY of the local subsystem, waits until the CCO lists "
        "it, removes it and waits until it is gone. Exit code 0 when both were seen."));
    parser.addHelpOption();
    parser.addVersionOption();
    exampleplatform::addOptions(parser);
    parser.addOption(
        QCommandLineOption(QStringLiteral("timeout"), QStringLiteral("Give up after MS milliseconds (default 60000)."),
            QStringLiteral("MS"), QStringLiteral("60000")));
    parser.addPositionalArgument(QStringLiteral("CATEGORY"), QStringLiteral("e.g. Examples/Values"));
    parser.addPositionalArgument(QStringLiteral("NAME"), QStringLiteral("the object's name below CATEGORY"));
    parser.addPositionalArgument(
        QStringLiteral("VALUE"), QStringLiteral("the value strings"), QStringLiteral("[VALUE...]"));
    parser.process(app);
    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() < 2)
        return exampleplatform::badUsage(QStringLiteral("CATEGORY and NAME expected"));
    const QString category = arguments.at(0);
    const QString name = arguments.at(1);
    const QStringList values = arguments.mid(2);
    if (name.isEmpty() || name.contains(QLatin1Char('/')))
        return exampleplatform::badUsage(QStringLiteral("NAME must be one path segment"));
    bool ok = false;
    const int timeoutMs = parser.value(QStringLiteral("timeout")).toInt(&ok, 10);
    if (!ok || timeoutMs <= 0)
        return exampleplatform::badUsage(QStringLiteral("--timeout takes a positive number of ms"));

    exampleplatform::Platform platform(parser);
    if (!platform.ok())
        return 1;

    const QString path = QStringLiteral("CCO/LocalSystem/LocalSubSystem/%1/%2").arg(category, name);
    CCOWatcher watcher(500, 10, category);
    bool registered = false;
    QObject::connect(&watcher, &CCOWatcher::resultListChanged, &watcher, [&](const CCOWatcher::CCOValuesList &list) {
        if (!registered && isListed(list, name, values)) {
            registered = true;
            print(QStringLiteral("registered %1").arg(path));
            //! [unregister]
            CCORegistration::unregisterFromCCO(path);
            //! [unregister]
        } else if (registered && !isListed(list, name)) {
            print(QStringLiteral("removed %1").arg(path));
            app.exit(0);
        }
    });
    watcher.init();

    //! [register]
    // Returns at once; a thread of its own waits for the ORB and the CCO and
    // replaces whatever is registered at the path.
    CCORegistration::registerAtCCO(path, values);
    //! [register]

    QTimer::singleShot(timeoutMs, &app, [&] {
        std::fprintf(stderr, "register-values: %s was not %s within %d ms (see --trace)\n", qPrintable(path),
            registered ? "removed" : "listed", timeoutMs);
        app.exit(1);
    });
    return app.exec();
}
