// Follows the antenna selected in one receiver's value tree and switches it
// onto the receiver's input through the installation's antenna matrix
// manager; hands antenna ranges to the matrix.
#pragma once

#include "antennarangedefinition.h"
#include "iobserver.h"

#include <QMap>
#include <QObject>
#include <QString>
#include <vector>

#include <matrixmanager.hh>

class AntennaSwitchingHooks;
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

    // Not owned; null (the default) for none. Set before init.
    void setSwitchingHooks(AntennaSwitchingHooks *switchingHooks);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    // Mends what the switching runs alone leave wrong; it reads and corrects
    // the fields below between runs, on this object's thread.
    friend class AntennaSelfHealing;

    bool ResolveMatrixManager();
    void InitAntennas();
    void ReadAntennaNames();

    QString matrixName() const;
    bool hardwareRuns() const;
    void scheduleSwitchingRun();
    void writeDriverError(const QString &text);

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

    AntennaSwitchingHooks *hooks = nullptr;
};
