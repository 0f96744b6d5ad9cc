// Keeps one RemoteConnector per connected receiver, keyed by its identifier,
// and passes on their reports.
#pragma once

#include "ccoreceivertypes.h"

#include "treepathhelpers.h"

#include <QHash>
#include <QMap>
#include <QObject>

#include <set>

namespace externalCCODriver
{
namespace mirroring
{
class RemoteConnector;

class ReceiverConnector : public QObject, public TreePathHelpers::TreePathSupport
{
    Q_OBJECT

public:
    explicit ReceiverConnector(QObject *parent);
    ~ReceiverConnector() override;

    // Once, before any connection.
    void setInitParameters(CcoInitParameters parameters);

Q_SIGNALS:
    void receiverDisconnected(int);
    void receiverConnected(const externalCCODriver::mirroring::CcoReceiverProperties &properties);

public Q_SLOTS:
    void connectRemote(ReceiverIdentifier receiverId);
    void disconnectRemote(ReceiverIdentifier receiverId);

private:
    CcoInitParameters initParameters;
    // The connectors are Qt children of this object.
    QMap<ReceiverIdentifier, RemoteConnector *> connectors;
    // Each connector's key, and the indexes in use, so that neither the
    // next index nor a connector's entry takes a walk over all of them.
    // (Kept apart from the connector, which may be half destroyed by the time
    // its entry goes.)
    QHash<RemoteConnector *, QPair<ReceiverIdentifier, int>> keyOf;
    std::set<int> indexes;

    void forget(RemoteConnector *connector);
};
}
}
