// The mirror of one remote receiver: a value-tree client to its host and the
// local sub-tree that holds its administration values and configured values.
#pragma once

#include "ccoreceivertypes.h"

#include "iobserver.h"
#include "ivtclient.h"
#include "treepathhelpers.h"
#include "value.h"
#include "valueptr.h"

#include <QObject>

#include <memory>
#include <vector>

Q_DECLARE_INTERFACE(IObserver, "IObserver")

namespace externalCCODriver
{
namespace mirroring
{
// Hands a client back to the center that made it.
struct VtClientDeleter
{
    void operator()(IVtClient *client) const;
};
typedef std::unique_ptr<IVtClient, VtClientDeleter> VtClientPtr;

// Lives on the thread that owns the client (the client delivers its events
// there). Reports the receiver with remoteConnected once its configured
// values are linked and again after every reconnection or change of its "Ip"
// value; reports remoteDisconnected on a loss, before each such re-report
// caused by an "Ip" change, and when destroyed while connected.
class RemoteConnector : public QObject, public TreePathHelpers::TreePathSupport, private IObserver
{
    Q_OBJECT
    // moc leaves out bases that are not public; this makes qt_metacast
    // answer "IObserver" all the same.
    Q_INTERFACES(IObserver)

public:
    RemoteConnector(VtClientPtr client, int index, QObject *parent);
    ~RemoteConnector() override;

    void init(const CcoInitParameters &parameters);
    int index() const { return receiverIndex; }

Q_SIGNALS:
    void remoteConnected(const externalCCODriver::mirroring::CcoReceiverProperties &);
    void remoteDisconnected(int);

protected:
    void Notify(Observable *subject, unsigned int code) override;

private:
    bool attachValue(values::ValuePtr<values::Value<QString>> &pointer, const QString &path);
    void linkMirroredValues();
    void publishProperties();

    // String values that this connector created but the tree would not take;
    // they are its own. Declared first so that they outlive every pointer.
    std::vector<std::unique_ptr<values::ValueBase>> untakenValues;

    bool initialized = false;
    VtClientPtr client;
    values::ValueObservingPtr<values::Value<QString>> ipValue;
    int receiverIndex;
    CcoInitParameters initParameters;
    CcoReceiverProperties properties;
    QString driverVtPath;
    QString ipPath;
};
}
}
