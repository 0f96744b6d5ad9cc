// Follows the antenna selected in one receiver's value tree and switches it
// onto the receiver's input through the installation's antenna matrix
// manager; hands antenna ranges to the matrix.
#pragma once

#include "antennarangedefinition.h"
#include "iobserver.h"

#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>
#include <vector>

#include <matrixmanager.hh>

class ICfg;
class QTimerEvent;

namespace values
{
class Node;
class ValueSelection;
template <typename T> class Value;
}

// Lives on the driver's thread and has no thread of its own: the value
// framework's notifications, the driver's calls and the switching timer all
// arrive there, and every CORBA call blocks that thread for its (bounded)
// duration.
class AntennaComm : public QObject, public IObserver
{
    Q_OBJECT

public:
    AntennaComm();
    // Leaves the matrix as it is: the receiver keeps its antenna.
    ~AntennaComm() override;

    // May be called again after it returned false; the driver does so on its
    // retry timer until it returns true.
    bool init(QString devicePath, ICfg *cfg);
    void OnAntennaChanged();
    void DisconnectAntenna();
    // Does not change the vector; takes it by reference as the host hands it.
    void SetRangesToAntennaMatrix(std::vector<receivers::antenna::driver::AntennaRangeDefinition> &ranges);

    void Notify(Observable *subject, unsigned int code) override;

    // With "AntennaSelfHealing" on, the driver keeps its retry timer running
    // after init succeeded and calls this on every tick: values the host
    // created anew are taken up, a lost matrix manager is looked up, ranges
    // that could not be handed over are sent, and the selected antenna is
    // connected again with `connect` (which the manager refuses, harmlessly,
    // when the connection is there). While the manager cannot be found a tick
    // makes no call but the lookup.
    void KeepSelectedAntennaConnected();
    bool selfHealingEnabled() const { return selfHealing; }

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    bool ResolveMatrixManager();
    void InitAntennas();
    void ReadAntennaNames();

    void OnAntennaChangedRun();

    // Self-healing only (see KeepSelectedAntennaConnected).
    void keepSelectedAntennaConnected();
    void noteStall(qint64 ms);
    QString matrixName() const;
    bool hardwareRuns() const;
    void findReplacedValues();
    void takeOutputPort(quint16 port);
    void scheduleSwitchingRun();
    bool releaseLeftovers();
    bool reassertSelectedAntenna();
    bool handOverPendingRanges();
    void clearDriverError();
    void reportState(const QString &text);

    // The value pointers point into the host value tree, which owns them.
    values::ValueSelection *antennaValue;
    values::ValueSelection *hardwareStatusValue;
    values::Value<QString> *lastDriverErrorValue;
    values::Value<bool> *usingAntennaMatrixValue;
    values::Value<bool> *driverOccupiedValue;
    values::Value<int> *matrixOutValue;
    values::Node *antennasNode;
    bool initialised;
    bool matrixConnected;
    QString devicePath;
    QString matrixPath;
    QString matrixRemoteHost;
    int matrixId;
    MatrixManager::IF_MMR_c_var matrix;
    int pendingTimerId;
    ICfg *cfg;
    bool isPX19;
    quint16 outputPort;
    quint16 connectedInput;
    QMap<QString, quint16> antennaPorts;

    // Beyond the fields above, for "AntennaSelfHealing" (default off) and
    // for knowing that the observed ANTENNAS node went away.
    bool antennasNodeMayBeGone = false;
    bool selfHealing = false;
    // The output that connectedInput was connected to.
    quint16 connectedOutput = 0;
    // (input, output) pairs that this object may have left connected and no
    // longer wants: a connect whose reply never came, a failed disconnect,
    // the antenna on an output that MatrixOut moved away from.
    QSet<QPair<quint16, quint16>> leftovers;
    // CommitData released the antenna; nothing is connected again until the
    // selection is touched.
    bool releasedByCommit = false;
    // The last call of a tick ran into the call timeout.
    bool callTimedOut = false;
    // How long the last run or tick held the host thread waiting (0: not
    // long), and since when.
    qint64 stallMs = 0;
    QElapsedTimer stallClock;
    bool rangesPending = false;
    MatrixManager::PortRangeList pendingRanges;
    // Antennas whose ExternalNumber is no port (outside 1..65535): the text.
    QMap<QString, QString> unusableExternalNumbers;
};
