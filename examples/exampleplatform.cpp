#include "exampleplatform.h"

#include <orbhandlerhost.h>
#include <tracesettings.h>
#include <treehost.h>

#include <QCoreApplication>
#include <QRegularExpression>

#include <cstdio>

namespace exampleplatform
{
namespace
{
const char *const ccoOption = "cco";
const char *const traceOption = "trace";
}

void addOptions(QCommandLineParser &parser)
{
    parser.addOption(
        QCommandLineOption(QString::fromLatin1(ccoOption), QStringLiteral("The CCO to use (default 127.0.0.1:2809)."),
            QStringLiteral("HOST:PORT"), QStringLiteral("127.0.0.1:2809")));
    parser.addOption(QCommandLineOption(QString::fromLatin1(traceOption),
        QStringLiteral("Show the library's trace (mask 0x20) on stderr; its only account of failures.")));
}

Platform::Platform(const QCommandLineParser &parser)
{
    const QString cco = parser.value(QString::fromLatin1(ccoOption));
    static const QRegularExpression hostAndPort(QStringLiteral("^[^/\\s]+:\\d{1,5}$"));
    if (!hostAndPort.match(cco).hasMatch()) {
        std::fprintf(stderr, "%s: '%s' is not HOST:PORT (see --help)\n",
            qPrintable(QCoreApplication::applicationName()), qPrintable(cco));
        return;
    }
    // The trace filter decides what the library traces at all; a host sets
    // it once at start-up.
    TraceSettings::SetTraceFilter(parser.isSet(QString::fromLatin1(traceOption)) ? 0x20 : 0);
    values::TreeHost::Create();
    treeCreated = true;
    // The library finds the CCO through the ORB's initial reference "CCO".
    if (!CorbaCommon::OrbHandlerHost::Init(
            {QStringLiteral("-ORBInitRef"), QStringLiteral("CCO=corbaloc::%1/CCO").arg(cco)})) {
        std::fprintf(stderr, "%s: the ORB did not come up\n", qPrintable(QCoreApplication::applicationName()));
        return;
    }
    up = true;
}

Platform::~Platform()
{
    if (up)
        CorbaCommon::OrbHandlerHost::Shutdown();
    if (treeCreated)
        values::TreeHost::Destroy();
}

int badUsage(const QString &reason)
{
    std::fprintf(stderr, "%s: %s (see --help)\n", qPrintable(QCoreApplication::applicationName()), qPrintable(reason));
    return 2;
}
}
