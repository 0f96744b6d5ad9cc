#include "vtclientcenter.h"

#include "changecodes.h"
#include "node.h"
#include "tree.h"
#include "treehost.h"
#include "vtclient.h"
#include "vtclientcenterprivate.h"
#include "vtnetworkpool.h"

#include <QSet>

#include <mutex>

struct VtClientCenter::Private
{
    mutable std::mutex mutex;
    QSet<IVtClient *> clients;
    Timing timing;
};

VtClientCenter *VtClientCenter::Instance()
{
    // Never destroyed: clients may outlive static destruction order in a
    // host that exits without cleaning up.
    static VtClientCenter *center = new VtClientCenter;
    return center;
}

VtClientCenter::VtClientCenter()
    : d(new Private)
{
}

VtClientCenter::~VtClientCenter()
{
    delete d;
}

IVtClient *VtClientCenter::CreateVtClient(const char *host, int port)
{
    const QString hostName = QString::fromLatin1(host ? host : "").trimmed();
    if (hostName.isEmpty() || port < 1 || port > 65535)
        return nullptr;
    auto *client = new vtremote::VtClient(hostName, port, GetTiming());
    std::lock_guard<std::mutex> lock(d->mutex);
    d->clients.insert(client);
    return client;
}

bool VtClientCenter::DestroyVtClient(IVtClient *client)
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (!client || !d->clients.remove(client))
            return false;
    }
    auto *concrete = static_cast<vtremote::VtClient *>(client);
    // Out of the network pool first: nothing the network side learns from
    // now on reaches the client, and nothing here waits for the network.
    concrete->requestStop();
    client->NotifyObservers(ChangeCode::ClientGoingAway, nullptr);
    delete concrete;
    return true;
}

void VtClientCenter::SetTiming(const Timing &timing)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->timing = timing;
}

VtClientCenter::Timing VtClientCenter::GetTiming() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->timing;
}

int VtClientCenter::ClientCount() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->clients.size();
}

int VtClientCenter::NetworkThreadCount()
{
    return vtremote::runningNetworkThreads.load();
}

QString VtClientCenter::ServerAddress(const QString &host, int port)
{
    const QString address = host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("corbaloc::%1:%2/ValueTree").arg(address).arg(port);
}

namespace vtremote
{
namespace VtClientCenterPrivate
{
namespace
{
std::mutex nodesMutex;
QSet<QString> &createdNodes()
{
    static QSet<QString> nodes;
    return nodes;
}
}

void noteCreatedNodes(const QStringList &paths)
{
    std::lock_guard<std::mutex> lock(nodesMutex);
    for (const QString &path : paths)
        createdNodes().insert(path);
}

void dropEmptyNodesAbove(const QString &path)
{
    values::Tree *tree = values::Tree::Instance();
    QString current = path;
    while (current.size() > 1) {
        if (current.endsWith(QLatin1Char('/')))
            current.chop(1);
        {
            std::lock_guard<std::mutex> lock(nodesMutex);
            if (!createdNodes().contains(current))
                return;
        }
        values::Node *node = tree ? tree->FindNode(current) : nullptr;
        if (node && !node->GetTreeItems().isEmpty())
            return;
        if (node)
            values::TreeHost::RemoveNode(current);
        {
            std::lock_guard<std::mutex> lock(nodesMutex);
            createdNodes().remove(current);
        }
        current = current.left(current.lastIndexOf(QLatin1Char('/')));
    }
}
}
}
