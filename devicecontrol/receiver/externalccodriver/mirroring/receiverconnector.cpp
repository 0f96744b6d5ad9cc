#include "receiverconnector.h"

#include "remoteconnector.h"
#include "vtclientcenter.h"

namespace externalCCODriver
{
namespace mirroring
{
ReceiverConnector::ReceiverConnector(QObject *parent)
    : QObject(parent)
{
}

ReceiverConnector::~ReceiverConnector() = default;

void ReceiverConnector::setInitParameters(CcoInitParameters parameters)
{
    initParameters = std::move(parameters);
}

void ReceiverConnector::connectRemote(ReceiverIdentifier receiverId)
{
    if (connectors.contains(receiverId) || receiverId.first.isEmpty())
        return;
    VtClientPtr client(
        VtClientCenter::Instance()->CreateVtClient(receiverId.first.toLatin1().constData(), receiverId.second));
    if (!client)
        return;

    // Freed numbers come back only when they lie above every one in use.
    const int index = indexes.empty() ? 0 : *indexes.rbegin() + 1;

    auto *connector = new RemoteConnector(std::move(client), index, this);
    connect(connector, &RemoteConnector::remoteConnected, this, &ReceiverConnector::receiverConnected);
    connect(connector, &RemoteConnector::remoteDisconnected, this, &ReceiverConnector::receiverDisconnected);
    // A connector deleted by anyone else must not stay in the map.
    connect(connector, &QObject::destroyed, this, [this, connector] { forget(connector); });
    connector->setTreePath(createSubTreePath(initParameters.subTreePattern.arg(index)));
    connector->init(initParameters);
    connectors.insert(receiverId, connector);
    keyOf.insert(connector, qMakePair(receiverId, index));
    indexes.insert(index);
}

void ReceiverConnector::disconnectRemote(ReceiverIdentifier receiverId)
{
    const auto it = connectors.find(receiverId);
    if (it == connectors.end())
        return;
    // The entry goes before the deletion rather than after it, and the
    // connector leaves its parent first: a slot of the receiverDisconnected
    // that its destructor emits may delete this object, which must then
    // neither delete the connector a second time nor be touched here
    // afterwards.
    RemoteConnector *connector = it.value();
    forget(connector);
    connector->setParent(nullptr);
    delete connector;
}

void ReceiverConnector::forget(RemoteConnector *connector)
{
    const auto key = keyOf.find(connector);
    if (key == keyOf.end())
        return;
    connectors.remove(key->first);
    indexes.erase(key->second);
    keyOf.erase(key);
}
}
}
