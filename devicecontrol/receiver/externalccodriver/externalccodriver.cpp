#include "externalccodriver.h"

#include "cfgcenter.h"
#include "drivertrace.h"
#include "icfg.h"
#include "orbconnection.h"

#include <QTimerEvent>

ExternalCCODriver::ExternalCCODriver(QString name)
    : QObject(nullptr)
    , IDllInstance()
    , orbTimerId(-1)
    , ccoTimerId(-1)
    , matrixTimerId(-1)
    , reconnectInterval(0)
    , valuePath()
    , cfg(nullptr)
    , antennaMatrixDriver(false)
    , orbConnection(nullptr)
    , antennaComm(nullptr)
{
    instanceName = name;
    cfg = CfgCenter::CreateCfg(instanceName, ICfg::ViewInstance, QString());
    reconnectInterval = cfg->ReadInt(QStringLiteral("ReconnectTimer"), 2000, false);
    valuePath = cfg->ReadString(QStringLiteral("ValuePath"), QStringLiteral("/DEVICES/KRV4"), false);
    antennaMatrixDriver = cfg->ReadBool(QStringLiteral("AntennaMatrixDriver"), false, false);
}

ExternalCCODriver::~ExternalCCODriver()
{
    for (int *id : {&orbTimerId, &ccoTimerId, &matrixTimerId}) {
        if (*id != -1) {
            killTimer(*id);
            *id = -1;
        }
    }

    delete cfg;
    cfg = nullptr;

    ORBConnection::destroyInstance();
    orbConnection = nullptr;

    deleteAntennaSide();
}

void ExternalCCODriver::Init()
{
    orbConnection = ORBConnection::instance();

    if (!orbConnection->isOrbAvailable()) {
        DRIVER_TRACE(QStringLiteral("ExternalCCODriver::Init: waiting for the ORB"));
        orbTimerId = startTimer(reconnectInterval, Qt::CoarseTimer);
        return;
    }

    if (orbConnection->connectToCCO()) {
        InitMatrixManager();
    } else {
        DRIVER_TRACE(QStringLiteral("ExternalCCODriver::Init: waiting for the CCO"));
        ccoTimerId = startTimer(reconnectInterval, Qt::CoarseTimer);
    }
}

void ExternalCCODriver::InitMatrixManager()
{
    DRIVER_TRACE(QStringLiteral("ExternalCCODriver::InitMatrixManager: ORB and CCO are up, value path %1, antenna "
                                "matrix side %2")
                     .arg(valuePath, antennaMatrixDriver ? QStringLiteral("on") : QStringLiteral("off")));
    if (!antennaMatrixDriver)
        return;

    // Another instance in this process may have started the shared thread.
    if (!orbConnection->isRunning())
        orbConnection->start(QThread::InheritPriority);

    startAntennaSide();
}

void ExternalCCODriver::timerEvent(QTimerEvent *event)
{
    if (!orbConnection)
        return;

    const int id = event->timerId();
    if (id == orbTimerId) {
        if (!orbConnection->isOrbAvailable())
            return;
        killTimer(orbTimerId);
        orbTimerId = -1;
        if (!orbConnection->connectToCCO()) {
            DRIVER_TRACE(QStringLiteral("ExternalCCODriver::timerEvent: ORB is up, waiting for the CCO"));
            ccoTimerId = startTimer(reconnectInterval, Qt::CoarseTimer);
            return;
        }
        InitMatrixManager();
    } else if (id == ccoTimerId) {
        if (!orbConnection->connectToCCO())
            return;
        killTimer(ccoTimerId);
        ccoTimerId = -1;
        InitMatrixManager();
    } else if (id == matrixTimerId) {
        retryAntennaSide();
    }
}

void ExternalCCODriver::CommitData()
{
    // Without an AntennaComm there is no antenna connection to release; the
    // antenna side forwards to AntennaComm::DisconnectAntenna here.
    if (!antennaComm)
        return;
}

void ExternalCCODriver::SetRangesToAntennaMatrix(std::vector<receivers::antenna::driver::AntennaRangeDefinition> &)
{
    if (!antennaComm) {
        DRIVER_TRACE(QStringLiteral("ExternalCCODriver: No Antenna Communication Possible!"));
        return;
    }
}

void ExternalCCODriver::startAntennaSide()
{
    // The antenna side (AntennaComm and its retry on matrixTimerId) is added here.
}

void ExternalCCODriver::retryAntennaSide()
{
    // Only reached once startAntennaSide() has started matrixTimerId.
}

void ExternalCCODriver::deleteAntennaSide()
{
    // Deletes antennaComm once the antenna side creates one.
}
