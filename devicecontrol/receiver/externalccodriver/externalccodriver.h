// The driver object behind the plug-in's ZRCreate / ZRDestroy.
//
// It lives on the host thread that created it and needs that thread's event
// loop: it waits for the ORB, then for the CCO, each on a periodic retry
// timer, and then runs InitMatrixManager once.
#pragma once

#include "antennarangedefinition.h"
#include "externalccodriver_export.h"
#include "idllinstance.h"

#include <QObject>
#include <QString>
#include <vector>

class AntennaComm;
class AntennaSelfHealing;
class ICfg;
class ORBConnection;

/// The driver instance that the plug-in's ZRCreate hands to the host as an
/// IDllInstance. Hosts create it only through ZRCreate and give it back to
/// ZRDestroy; its configuration keys are listed in docs/class-library.md.
class EXTERNALCCODRIVER_EXPORT ExternalCCODriver : public QObject, public IDllInstance
{
    Q_OBJECT

public:
    explicit ExternalCCODriver(QString name);
    ~ExternalCCODriver() override;

    /// Called once by ZRCreate right after construction.
    void Init();

    /// Hands the antennas' ranges to the matrix manager; on the host thread.
    void SetRangesToAntennaMatrix(std::vector<receivers::antenna::driver::AntennaRangeDefinition> &ranges);
    void CommitData() override;

protected:
    // Reached once per instance, at the end of the ORB and CCO waits.
    void InitMatrixManager();
    void timerEvent(QTimerEvent *event) override;

private:
    // The antenna side: creates AntennaComm and starts it, retrying on
    // matrixTimerId until it succeeds.
    void startAntennaSide();
    void retryAntennaSide();
    void deleteAntennaSide();

    int orbTimerId;
    int ccoTimerId;
    int matrixTimerId;
    int reconnectInterval;
    QString valuePath;
    ICfg *cfg;
    bool antennaMatrixDriver;
    ORBConnection *orbConnection;
    AntennaComm *antennaComm;
    // Only with "AntennaSelfHealing" true; goes before antennaComm.
    AntennaSelfHealing *antennaSelfHealing = nullptr;
};
