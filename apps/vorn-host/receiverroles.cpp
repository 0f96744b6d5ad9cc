// The two workstation roles of receiver mirroring: a receiver that serves its
// value tree and registers at the CCO, and a mirroring workstation that runs a
// ReceiverCCO and prints every receiver that comes or goes.
#include "receiverroles.h"

#include "ccoregistration.h"
#include "orblistener.h"
#include "receivercco.h"
#include "tree.h"
#include "value.h"
#include "vtclientcenter.h"
#include "vttreeserver.h"
#include "zrexception.h"

#include <QCoreApplication>
#include <QPointer>

namespace
{
using externalCCODriver::mirroring::CcoInitParameters;
using externalCCODriver::mirroring::CcoReceiverProperties;
using externalCCODriver::mirroring::ReceiverCCO;
using externalCCODriver::mirroring::ReceiverIdentifier;

const char *const receiverCategory = "CCO/LocalSystem/LocalSubSystem/CentralServices/Receiver/PulseAnalysis";

ReceiverRoleOptions &roleOptions()
{
    static ReceiverRoleOptions options;
    return options;
}

// Owns what the roles create. It goes when the event loop ends, before the
// host destroys the value tree and the ORB that these objects use.
class Roles : public QObject
{
public:
    static Roles &instance()
    {
        static QPointer<Roles> roles;
        if (!roles) {
            roles = new Roles;
            QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, roles.data(),
                [] { delete roles.data(); });
        }
        return *roles;
    }

    VtTreeServer *server = nullptr;
    ReceiverCCO *mirror = nullptr;

private:
    Roles() = default;
};

// [ADDRESS:]PORT; the address defaults to loopback, port 0 picks a free one.
bool parseListenAddress(CommandCall &call, const QString &text, QString *address, int *port)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    *address = colon < 0 ? QStringLiteral("127.0.0.1") : text.left(colon);
    if (address->startsWith(QLatin1Char('[')) && address->endsWith(QLatin1Char(']')))
        *address = address->mid(1, address->size() - 2);
    bool ok = false;
    *port = text.mid(colon + 1).toInt(&ok, 10);
    if (!ok || *port < 0 || *port > 65535 || address->isEmpty())
        return call.fail(QStringLiteral("'%1' is not [ADDRESS:]PORT").arg(text));
    return true;
}

bool parsePort(CommandCall &call, const QString &text, int *port)
{
    bool ok = false;
    *port = text.toInt(&ok, 10);
    if (!ok || *port < 1 || *port > 65535)
        return call.fail(QStringLiteral("'%1' is not a port").arg(text));
    return true;
}

// Writes `text` into the string value at `path`, creating it when missing.
bool putString(CommandCall &call, const QString &path, const QString &text)
{
    values::Tree *tree = values::Tree::Instance();
    if (values::ValueBase *value = tree->FindValue(path)) {
        value->SetStringValue(text, nullptr);
        return true;
    }
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    auto *value = new values::Value<QString>;
    value->SetName(path.mid(slash + 1), nullptr);
    value->SetValue(text, nullptr);
    try {
        if (tree->AddValue(path.left(slash + 1), value))
            return true;
    } catch (const ZRException &error) {
        delete value;
        return call.fail(error.Message());
    }
    delete value;
    return call.fail(QStringLiteral("cannot create %1").arg(path));
}

QString describe(const CcoReceiverProperties &properties)
{
    QStringList paths;
    for (auto it = properties.valuePaths.cbegin(); it != properties.valuePaths.cend(); ++it)
        paths << it.key() + QLatin1Char('=') + it.value();
    return QStringLiteral("MIRROR connected index=%1 ip=%2 values=%3")
        .arg(properties.index)
        .arg(properties.ip, paths.join(QLatin1Char(',')));
}

// receiver [ADDRESS:]PORT NAME [HOST] [IP] [DRIVERPATH]; NAME "-" serves
// without registering.
bool cmdReceiver(CommandCall &call)
{
    int port = 0;
    QString listenAddress;
    if (!parseListenAddress(call, call.args().at(0), &listenAddress, &port))
        return false;
    const QString name = call.args().at(1);
    const QString host = call.args().value(2, QStringLiteral("127.0.0.1"));
    const QString ip = call.args().value(3, host);
    const bool registering = name != QLatin1String("-");
    const QString driverPath
        = call.args().value(4, QStringLiteral("/DEVICES/%1").arg(registering ? name : QStringLiteral("RX")));
    if (name.contains(QLatin1Char('/')) || name.isEmpty())
        return call.fail(QStringLiteral("'%1' is not a receiver name").arg(name));

    Roles &roles = Roles::instance();
    if (roles.server)
        return call.fail(QStringLiteral("this host serves its tree already"));
    if (!putString(call, QStringLiteral("/ADMINISTRATION/DRIVERVTPATH"), driverPath)
        || !putString(call, QStringLiteral("/ADMINISTRATION/Ip"), ip))
        return false;
    // What is registered is the port the ORB really listens on.
    QString why;
    if (!vtremote::listenForTreeServer(listenAddress, port, &port, &why))
        return call.fail(QStringLiteral("cannot serve the value tree: %1").arg(why));
    auto *server = new VtTreeServer(&roles);
    VtTreeServer::WritePolicy writes;
    writes.enabled = roleOptions().peerWrites;
    writes.below = driverPath;
    writes.maxBytes = roleOptions().peerWriteLimit;
    server->setWritePolicy(writes);
    if (!server->start()) {
        delete server;
        return call.fail(QStringLiteral("cannot serve the value tree (is the ORB up?)"));
    }
    roles.server = server;
    // host, host_device, info, port: the mirroring side reads the first and
    // the last.
    if (registering)
        externalCCODriver::CCORegistration::registerAtCCO(
            QStringLiteral("%1/%2").arg(QString::fromLatin1(receiverCategory), name),
            {host, host + QLatin1Char('_') + name, QStringLiteral("vorn-host receiver"), QString::number(port)});
    call.print(QStringLiteral("READY %1").arg(VtClientCenter::ServerAddress(host, port)));
    return true;
}

// unregister NAME
bool cmdUnregister(CommandCall &call)
{
    externalCCODriver::CCORegistration::unregisterFromCCO(
        QStringLiteral("%1/%2").arg(QString::fromLatin1(receiverCategory), call.args().at(0)));
    return true;
}

// mirror PATTERN [VALUES] [EXCLUDED]
bool cmdMirror(CommandCall &call)
{
    Roles &roles = Roles::instance();
    if (roles.mirror)
        return call.fail(QStringLiteral("this host mirrors already"));
    CcoInitParameters parameters;
    parameters.subTreePattern = call.args().at(0);
    if (call.args().size() > 1 && call.args().at(1) != QLatin1String("-"))
        parameters.mirroredValues = call.args().at(1).split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (call.args().size() > 2) {
        for (const QString &item : call.args().at(2).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const int colon = item.lastIndexOf(QLatin1Char(':'));
            int port = 0;
            if (colon <= 0 || !parsePort(call, item.mid(colon + 1), &port))
                return call.fail(QStringLiteral("'%1' is not HOST:PORT").arg(item));
            parameters.excludedReceivers.append(ReceiverIdentifier(item.left(colon), port));
        }
    }
    auto *mirror = new ReceiverCCO(roles);
    QObject::connect(mirror, &ReceiverCCO::receiverConnected, mirror,
        [](const CcoReceiverProperties &properties) { hostPrint(describe(properties)); });
    QObject::connect(mirror, &ReceiverCCO::receiverDisconnected, mirror,
        [](int index) { hostPrint(QStringLiteral("MIRROR disconnected index=%1").arg(index)); });
    mirror->init(parameters);
    roles.mirror = mirror;
    call.print(QStringLiteral("MIRROR started pattern=%1").arg(parameters.subTreePattern));
    return true;
}
}

void setReceiverRoleOptions(const ReceiverRoleOptions &options)
{
    roleOptions() = options;
}

void addReceiverRoleCommands(HostCommands &commands)
{
    using Command = HostCommands::Command;
    commands.add(Command {QStringLiteral("receiver"), QStringLiteral("[ADDRESS:]PORT NAME [HOST] [IP] [DRIVERPATH]"),
        QStringLiteral("serves the value tree on PORT (on loopback unless ADDRESS is given; 0 picks "
                       "a free port; an ORB given -ORBendPoint must listen there already) with "
                       "ADMINISTRATION/DRIVERVTPATH and ADMINISTRATION/Ip filled in, and "
                       "registers the receiver NAME at the CCO with the port it really listens on "
                       "(not for NAME \"-\"); prints READY <corbaloc>; peers may write below "
                       "DRIVERPATH only with --allow-peer-writes"),
        2, 5, cmdReceiver});
    commands.add(Command {QStringLiteral("unregister"), QStringLiteral("NAME"),
        QStringLiteral("removes the CCO registration of the receiver NAME"), 1, 1, cmdUnregister});
    commands.add(Command {QStringLiteral("mirror"), QStringLiteral("PATTERN [VALUES|-] [EXCLUDED]"),
        QStringLiteral("mirrors the receivers registered at the CCO below PATTERN (%1: the "
                       "receiver's number); VALUES and EXCLUDED (HOST:PORT) are comma-separated; "
                       "prints \"MIRROR connected index=N ip=IP values=NAME=PATH,...\" and "
                       "\"MIRROR disconnected index=N\""),
        1, 3, cmdMirror});
}
