#include "viewsettings.h"

#include <arpa/inet.h>

namespace installationview
{
namespace
{
const char *const usageText = "usage: installation-view --cco CORBALOC [options] [-- ORB options]\n"
                              "Serves a live, read-only page of an installation: the CCO's subsystems,\n"
                              "workstations and registered objects, the antenna matrix managers and the\n"
                              "receivers, refreshed from the CCO and pushed to open pages.\n"
                              "\n"
                              "  --cco CORBALOC          the CCO, e.g. corbaloc::127.0.0.1:2809/CCO (required)\n"
                              "  --listen ADDRESS:PORT   where to serve the page (default 127.0.0.1:8080; port 0\n"
                              "                          picks a free one); [::1]:PORT for IPv6\n"
                              "  --allow-remote          needed to serve on an address other than loopback\n"
                              "  --refresh MS            refresh period (default 1000, 100..60000)\n"
                              "  --call-timeout MS       limit of every CORBA call (default 2000, 50..60000)\n"
                              "  --connect-timeout MS    limit of every connection attempt (default 500)\n"
                              "  --category PATH         also list the objects registered under PATH of each\n"
                              "                          subsystem (repeatable)\n"
                              "  -h, --help              this text\n"
                              "  --version               the version\n"
                              "Prints \"READY http://ADDRESS:PORT/\" once it serves. Exit code 2 for bad usage,\n"
                              "1 when it cannot serve.\n";

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
    for (int i = 1; i < arguments.size(); ++i) {
        const QString option = arguments.at(i);
        if (option == QLatin1String("--")) {
            s.orbArguments = arguments.mid(i + 1);
            break;
        }
        if (option == QLatin1String("-h") || option == QLatin1String("--help")) {
            parsed.outcome = ParsedSettings::Outcome::Help;
            parsed.text = QString::fromLatin1(usageText);
            return parsed;
        }
        if (option == QLatin1String("--version")) {
            parsed.outcome = ParsedSettings::Outcome::Version;
            return parsed;
        }
        if (option == QLatin1String("--allow-remote")) {
            s.allowRemote = true;
            continue;
        }
        const bool takesValue = option == QLatin1String("--cco") || option == QLatin1String("--listen")
            || option == QLatin1String("--refresh") || option == QLatin1String("--call-timeout")
            || option == QLatin1String("--connect-timeout") || option == QLatin1String("--category");
        if (!takesValue)
            return fail(QStringLiteral("unknown option %1").arg(option));
        if (i + 1 >= arguments.size())
            return fail(QStringLiteral("%1 needs a value").arg(option));
        const QString value = arguments.at(++i);
        if (option == QLatin1String("--cco")) {
            if (!value.startsWith(QLatin1String("corbaloc:")) && !value.startsWith(QLatin1String("IOR:"))
                && !value.startsWith(QLatin1String("corbaname:")))
                return fail(QStringLiteral("--cco wants a corbaloc, corbaname or IOR, not '%1'").arg(value));
            s.ccoLocation = value;
        } else if (option == QLatin1String("--listen")) {
            if (!splitListen(value, &s.listenHost, &s.listenPort))
                return fail(QStringLiteral("--listen wants ADDRESS:PORT with a numeric address, not '%1'").arg(value));
        } else if (option == QLatin1String("--refresh")) {
            if (!toMs(value, 100, 60000, &s.refreshMs))
                return fail(QStringLiteral("--refresh wants 100..60000 ms, not '%1'").arg(value));
        } else if (option == QLatin1String("--call-timeout")) {
            if (!toMs(value, 50, 60000, &s.callTimeoutMs))
                return fail(QStringLiteral("--call-timeout wants 50..60000 ms, not '%1'").arg(value));
        } else if (option == QLatin1String("--connect-timeout")) {
            if (!toMs(value, 10, 60000, &s.connectTimeoutMs))
                return fail(QStringLiteral("--connect-timeout wants 10..60000 ms, not '%1'").arg(value));
        } else {
            const QString path = value.trimmed();
            if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QLatin1String("//"))
                || path.endsWith(QLatin1Char('/')))
                return fail(QStringLiteral("--category wants a relative path like A/B, not '%1'").arg(value));
            if (!s.categories.contains(path))
                s.categories.append(path);
        }
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
