#include "viewsettings.h"

#include <QCommandLineParser>

#include <arpa/inet.h>

namespace installationview
{
namespace
{
bool toMs(const QString &text, int low, int high, int *out)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || value < low || value > high)
        return false;
    *out = value;
    return true;
}

bool splitListen(const QString &text, QString *host, int *port)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    QString h = text.left(colon);
    if (h.startsWith(QLatin1Char('[')) && h.endsWith(QLatin1Char(']')))
        h = h.mid(1, h.size() - 2);
    else if (h.contains(QLatin1Char(':')))
        return false; // an IPv6 address needs its brackets
    bool ok = false;
    const int p = text.mid(colon + 1).toInt(&ok, 10);
    if (!ok || p < 0 || p > 65535 || h.isEmpty())
        return false;
    unsigned char buffer[16];
    const QByteArray bytes = h.toLatin1();
    if (h != QLatin1String("localhost") && inet_pton(AF_INET, bytes.constData(), buffer) != 1
        && inet_pton(AF_INET6, bytes.constData(), buffer) != 1)
        return false;
    *host = h == QLatin1String("localhost") ? QStringLiteral("127.0.0.1") : h;
    *port = p;
    return true;
}

ParsedSettings fail(const QString &why)
{
    ParsedSettings parsed;
    parsed.text = why;
    return parsed;
}
}

bool isLoopbackAddress(const QString &host)
{
    const QByteArray bytes = host.toLatin1();
    in_addr v4;
    if (inet_pton(AF_INET, bytes.constData(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6;
    if (inet_pton(AF_INET6, bytes.constData(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6);
    return host == QLatin1String("localhost");
}

ParsedSettings parseSettings(const QStringList &arguments)
{
    ParsedSettings parsed;
    ViewSettings &s = parsed.settings;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Serves a live, read-only page of an installation: the CCO's subsystems, workstations and registered\n"
        "objects, the antenna matrix managers and the receivers with the antenna each one selected, whether\n"
        "its matrix output shows that antenna (\"in sync\" or \"out of sync\") and its driver's errors, refreshed\n"
        "and pushed to open pages, with a history of what changed (/api/history, /api/history.csv). Prints\n"
        "\"READY http://ADDRESS:PORT/\" once it serves. Exit code 2 for bad usage, 1 when it cannot serve.\n"
        "ORB options (-ORB<name> <value>) go after \"--\"."));
    const QCommandLineOption help(
        QStringList {QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Show the version and exit."));
    const QCommandLineOption cco(QStringLiteral("cco"),
        QStringLiteral("The CCO, e.g. corbaloc::127.0.0.1:2809/CCO (required)."), QStringLiteral("CORBALOC"));
    const QCommandLineOption listen(QStringLiteral("listen"),
        QStringLiteral("Where to serve the page (default 127.0.0.1:8080); port 0 picks a free one, [::1]:PORT "
                       "for IPv6."),
        QStringLiteral("ADDRESS:PORT"), QStringLiteral("127.0.0.1:8080"));
    const QCommandLineOption allowRemote(
        QStringLiteral("allow-remote"), QStringLiteral("Needed to serve on an address other than loopback."));
    const QCommandLineOption refresh(QStringLiteral("refresh"),
        QStringLiteral("Refresh period, ms (100..60000, default 1000)."), QStringLiteral("MS"),
        QString::number(s.refreshMs));
    const QCommandLineOption callTimeout(QStringLiteral("call-timeout"),
        QStringLiteral("Limit of every CORBA call, ms (50..60000, default 2000)."), QStringLiteral("MS"),
        QString::number(s.callTimeoutMs));
    const QCommandLineOption connectTimeout(QStringLiteral("connect-timeout"),
        QStringLiteral("Limit of every connection attempt, ms (10..60000, default 500)."), QStringLiteral("MS"),
        QString::number(s.connectTimeoutMs));
    const QCommandLineOption category(QStringLiteral("category"),
        QStringLiteral("Also list the objects registered under PATH of each subsystem (repeatable)."),
        QStringLiteral("PATH"));
    const QCommandLineOption history(QStringLiteral("history"),
        QStringLiteral("Events kept in memory for the page's history (1..100000, default 1000)."), QStringLiteral("N"),
        QString::number(s.historySize));
    parser.addOptions(
        {help, version, cco, listen, allowRemote, refresh, callTimeout, connectTimeout, category, history});

    if (!parser.parse(arguments))
        return fail(parser.errorText());
    if (parser.isSet(help)) {
        parsed.outcome = ParsedSettings::Outcome::Help;
        parsed.text = parser.helpText();
        return parsed;
    }
    if (parser.isSet(version)) {
        parsed.outcome = ParsedSettings::Outcome::Version;
        return parsed;
    }
    // Everything after "--" is for the ORB; nothing else stands alone.
    const int separator = arguments.indexOf(QStringLiteral("--"));
    s.orbArguments = separator < 0 ? QStringList() : arguments.mid(separator + 1);
    if (parser.positionalArguments().size() != s.orbArguments.size())
        return fail(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));

    s.allowRemote = parser.isSet(allowRemote);
    if (parser.isSet(cco)) {
        const QString value = parser.value(cco);
        if (!value.startsWith(QLatin1String("corbaloc:")) && !value.startsWith(QLatin1String("IOR:"))
            && !value.startsWith(QLatin1String("corbaname:")))
            return fail(QStringLiteral("--cco wants a corbaloc, corbaname or IOR, not '%1'").arg(value));
        s.ccoLocation = value;
    }
    if (!splitListen(parser.value(listen), &s.listenHost, &s.listenPort))
        return fail(
            QStringLiteral("--listen wants ADDRESS:PORT with a numeric address, not '%1'").arg(parser.value(listen)));
    const struct
    {
        const QCommandLineOption &option;
        int low, high;
        int *out;
    } numbers[] = {{refresh, 100, 60000, &s.refreshMs}, {callTimeout, 50, 60000, &s.callTimeoutMs},
        {connectTimeout, 10, 60000, &s.connectTimeoutMs}};
    for (const auto &n : numbers) {
        if (!toMs(parser.value(n.option), n.low, n.high, n.out))
            return fail(QStringLiteral("--%1 wants %2..%3 ms, not '%4'")
                            .arg(n.option.names().first())
                            .arg(n.low)
                            .arg(n.high)
                            .arg(parser.value(n.option)));
    }
    if (!toMs(parser.value(history), 1, 100000, &s.historySize))
        return fail(
            QStringLiteral("--history wants a number of events, 1..100000, not '%1'").arg(parser.value(history)));
    for (const QString &value : parser.values(category)) {
        const QString path = value.trimmed();
        if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QLatin1String("//"))
            || path.endsWith(QLatin1Char('/')))
            return fail(QStringLiteral("--category wants a relative path like A/B, not '%1'").arg(value));
        if (!s.categories.contains(path))
            s.categories.append(path);
    }
    if (s.ccoLocation.isEmpty())
        return fail(QStringLiteral("--cco is required"));
    if (!isLoopbackAddress(s.listenHost) && !s.allowRemote)
        return fail(QStringLiteral("%1 is reachable from other machines; pass --allow-remote to serve there anyway")
                        .arg(s.listenHost));
    parsed.outcome = ParsedSettings::Outcome::Run;
    return parsed;
}
}
