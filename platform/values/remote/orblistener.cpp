#include "orblistener.h"

#include "orbhandlerhost.h"

#include <omniORB4/CORBA.h>
#include <omniORB4/internal/objectAdapter.h>

#include <QStringList>

namespace vtremote
{
namespace
{
// "giop:tcp:HOST:PORT" endpoints the ORB listens on, as host and port.
QList<QPair<QString, int>> tcpEndpoints()
{
    QList<QPair<QString, int>> found;
    const omni::orbServer::EndpointList &endpoints = omni::omniObjAdapter::listMyEndpoints();
    for (CORBA::ULong i = 0; i < endpoints.length(); ++i) {
        const QString uri = QString::fromLatin1(endpoints[i]);
        if (!uri.startsWith(QLatin1String("giop:tcp:")))
            continue;
        const int colon = uri.lastIndexOf(QLatin1Char(':'));
        found.append(qMakePair(uri.mid(9, colon - 9), uri.mid(colon + 1).toInt()));
    }
    return found;
}
}

bool listenForTreeServer(const QString &address, int port, int *listeningPort, QString *error)
{
    if (CORBA::is_nil(CorbaCommon::OrbHandlerHost::Orb())) {
        *error = QStringLiteral("the ORB is not up");
        return false;
    }
    omni::omniObjAdapter::Options::EndpointURI *added = nullptr;
    try {
        // omniORB opens its endpoints once, when the first object adapter
        // starts; until then the endpoint list can still be extended. The
        // list is omniORB's own: what -ORBendPoint fills in.
        // Endpoints the host gave the ORB are its choice; only an ORB
        // without any gets this one.
        if (!omni::omniObjAdapter::isInitialised() && omni::omniObjAdapter::options.endpoints.empty()) {
            auto *endpoint = new omni::omniObjAdapter::Options::EndpointURI;
            const QString host = address.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(address) : address;
            endpoint->uri
                = CORBA::string_dup(QStringLiteral("giop:tcp:%1:%2").arg(host).arg(port).toLatin1().constData());
            endpoint->no_publish = 0;
            omni::omniObjAdapter::options.endpoints.push_back(endpoint);
            added = endpoint;
        }
        omni::omniObjAdapter::initialise();
    } catch (const CORBA::Exception &) {
        // Not kept for a later attempt with another port.
        auto &endpoints = omni::omniObjAdapter::options.endpoints;
        if (added && !endpoints.empty() && endpoints.back() == added) {
            endpoints.pop_back();
            delete added;
        }
        *error = QStringLiteral("cannot listen on %1:%2").arg(address).arg(port);
        return false;
    }
    const auto endpoints = tcpEndpoints();
    for (const auto &endpoint : endpoints) {
        if (port == 0 || endpoint.second == port) {
            *listeningPort = endpoint.second;
            return true;
        }
    }
    QStringList where;
    for (const auto &endpoint : endpoints)
        where << QStringLiteral("%1:%2").arg(endpoint.first).arg(endpoint.second);
    *error = where.isEmpty() ? QStringLiteral("cannot listen on %1:%2").arg(address).arg(port)
                             : QStringLiteral("the ORB listens on %1, not on port %2 (its -ORBendPoint decides)")
                                   .arg(where.join(QStringLiteral(", ")))
                                   .arg(port);
    return false;
}
}
