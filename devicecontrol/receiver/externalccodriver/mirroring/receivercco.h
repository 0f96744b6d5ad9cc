// Mirrors the receivers that workstations registered at the CCO: connects to
// each one's value tree and reports every receiver that comes or goes.
#pragma once

#include "ccoreceivertypes.h"
#include "ccowatcher.h"
#include "externalccodriver_export.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

namespace externalCCODriver
{
namespace mirroring
{
class ReceiverConnector;

/// Mirrors the receivers registered at the CCO under
/// "CentralServices/Receiver/PulseAnalysis" into the local value tree and
/// reports each one that comes or goes.
///
/// Everything runs on the thread that creates the object and calls init(),
/// which must run an event loop; the watcher's lists arrive there queued, and
/// the connectors' reports are emitted there. It polls the CCO every 5000 ms
/// (attempt limit 10), so the first receivers come about 15 s after init().
/// Destroying it drops every mirror without emitting receiverDisconnected for
/// them.
///
/// \snippet mirrorreceivers.cpp mirror
class EXTERNALCCODRIVER_EXPORT ReceiverCCO : public QObject
{
    Q_OBJECT

public:
    /// Becomes a Qt child of `parent`; starts nothing.
    explicit ReceiverCCO(QObject &parent);
    ~ReceiverCCO() override;

    /// Once, after connecting to the signals: starts polling the CCO.
    void init(const CcoInitParameters &parameters);

Q_SIGNALS:
    /// A receiver is connected, with these properties: once its values are
    /// linked, again after each reconnection and after each change of its
    /// "Ip" value.
    void receiverConnected(const externalCCODriver::mirroring::CcoReceiverProperties &properties);
    /// The receiver with this local number is not connected now: it left the
    /// CCO's list or lost its connection, or its "Ip" value is about to be
    /// reported anew by receiverConnected (so it may come before the first
    /// receiverConnected of that number).
    void receiverDisconnected(int);

protected Q_SLOTS:
    void onReceiverListUpdated(const externalCCODriver::CCOWatcher::CCOValuesList &receiverList);

protected:
    void checkReceiverList(QList<ReceiverIdentifier> receivers);

private:
    ReceiverConnector *connector;
    int pollInterval;
    int attemptLimit;
    QString categoryPath;
    CcoInitParameters initParameters;
    // Asked to connect and not yet to disconnect, in the order added.
    QList<ReceiverIdentifier> currentReceivers;
    // The same, and the excluded ones, for lookups that do not grow with the
    // size of the installation.
    QSet<ReceiverIdentifier> currentSet;
    QSet<ReceiverIdentifier> excludedSet;
};
}
}
