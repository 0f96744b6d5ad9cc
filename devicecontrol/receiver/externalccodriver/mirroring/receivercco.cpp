#include "receivercco.h"

#include "drivertrace.h"
#include "receiverconnector.h"

#include <QPointer>

namespace externalCCODriver
{
namespace mirroring
{
ReceiverCCO::ReceiverCCO(QObject &parent)
    : QObject(&parent)
    , connector(nullptr)
    , pollInterval(5000)
    , attemptLimit(10)
    , categoryPath(QStringLiteral("CentralServices/Receiver/PulseAnalysis"))
{
}

ReceiverCCO::~ReceiverCCO() = default;

void ReceiverCCO::init(const CcoInitParameters &parameters)
{
    initParameters.subTreePattern = parameters.subTreePattern;
    initParameters.excludedReceivers = parameters.excludedReceivers;
    initParameters.mirroredValues = parameters.mirroredValues;
    excludedSet
        = QSet<ReceiverIdentifier>(initParameters.excludedReceivers.cbegin(), initParameters.excludedReceivers.cend());

    connector = new ReceiverConnector(this);
    connector->setInitParameters(initParameters);
    connect(connector, SIGNAL(receiverConnected(const externalCCODriver::mirroring::CcoReceiverProperties &)), this,
        SIGNAL(receiverConnected(const externalCCODriver::mirroring::CcoReceiverProperties &)));
    connect(connector, SIGNAL(receiverDisconnected(int)), this, SIGNAL(receiverDisconnected(int)));

    auto *watcher = new CCOWatcher(pollInterval, attemptLimit, categoryPath, this);
    connect(watcher, SIGNAL(resultListChanged(const externalCCODriver::CCOWatcher::CCOValuesList &)), this,
        SLOT(onReceiverListUpdated(const externalCCODriver::CCOWatcher::CCOValuesList &)));
    watcher->init();
}

void ReceiverCCO::onReceiverListUpdated(const CCOWatcher::CCOValuesList &receiverList)
{
    QList<ReceiverIdentifier> receivers;
    for (const auto &entry : receiverList) {
        const QStringList &strings = entry.second;
        if (strings.size() != 4)
            continue;
        const int port = strings.at(3).toInt(nullptr, 10);
        if (port != 0)
            receivers.append(ReceiverIdentifier(strings.at(0), port));
    }
    checkReceiverList(receivers);
}

void ReceiverCCO::checkReceiverList(QList<ReceiverIdentifier> receivers)
{
    for (const ReceiverIdentifier &receiver : qAsConst(receivers)) {
        if (currentSet.contains(receiver) || excludedSet.contains(receiver))
            continue;
        DRIVER_TRACE(QStringLiteral("Connect to receiver %1:%2").arg(receiver.first, QString::number(receiver.second)));
        currentReceivers.append(receiver);
        currentSet.insert(receiver);
        if (connector)
            connector->connectRemote(receiver);
    }

    // A slot of receiverDisconnected, emitted while a connector is deleted,
    // may delete this object, or run an event loop in which the next list
    // comes and this function runs again; the receiver is still current then.
    const QPointer<ReceiverCCO> self(this);
    const QSet<ReceiverIdentifier> listed(receivers.cbegin(), receivers.cend());
    const QList<ReceiverIdentifier> current = currentReceivers;
    for (const ReceiverIdentifier &receiver : current) {
        if (listed.contains(receiver))
            continue;
        DRIVER_TRACE(
            QStringLiteral("Disconnected from receiver %1:%2").arg(receiver.first, QString::number(receiver.second)));
        if (connector)
            connector->disconnectRemote(receiver);
        if (!self)
            return;
        currentReceivers.removeAll(receiver);
        currentSet.remove(receiver);
    }
}
}
}
