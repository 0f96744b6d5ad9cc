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

// Everything runs on the thread that creates the object and calls init(); the
// watcher's lists arrive there queued, and the connectors' reports are
// emitted there. Destroying it drops every mirror without emitting
// receiverDisconnected for them.
class EXTERNALCCODRIVER_EXPORT ReceiverCCO : public QObject
{
    Q_OBJECT

public:
    explicit ReceiverCCO(QObject &parent);
    ~ReceiverCCO() override;

    // Once, after connecting to the signals: starts polling the CCO.
    void init(const CcoInitParameters &parameters);

Q_SIGNALS:
    void receiverConnected(const externalCCODriver::mirroring::CcoReceiverProperties &properties);
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
