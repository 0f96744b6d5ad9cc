#include "externalccodriver.h"

#include "antennacomm.h"
#include "antennaselfhealing.h"
#include "cfgcenter.h"
#include "drivertrace.h"
#include "icfg.h"
#include "orbconnection.h"
#include "zrexception.h"

#include <QTimerEvent>

#include <exception>

namespace
{
// AntennaComm::init lets exceptions of the value tree pass (a value standing
// where its ANTENNAS node belongs, for example). Here they would reach the
// host's event loop from the retry timer; instead the attempt counts as
// failed and is repeated on the next tick, by when the host may have
// corrected its tree.
bool initAntennaComm(AntennaComm *antennaComm, QString valuePath, ICfg *cfg)
{
    try {
        return antennaComm->init(valuePath, cfg);
    } catch (const ZRException &e) {
        DRIVER_TRACE(QStringLiteral("ExternalCCODriver: antenna start-up failed: ") + e.Message());
    } catch (const std::exception &e) {
        DRIVER_TRACE(QStringLiteral("ExternalCCODriver: antenna start-up failed: ") + QString::fromLocal8Bit(e.what()));
    } catch (...) {
        DRIVER_TRACE(QStringLiteral("ExternalCCODriver: antenna start-up failed"));
    }
    return false;
}
}

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
    // 0 would turn the retries into a busy loop of blocking checks on the
    // host thread, and a negative interval starts no timer at all, so the
    // driver would wait for ever.
    if (reconnectInterval <= 0) {
        DRIVER_TRACE(QStringLiteral("ExternalCCODriver: ReconnectTimer %1 is not a positive number of milliseconds; "
                                    "2000 is used")
                         .arg(reconnectInterval));
        reconnectInterval = 2000;
    }
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

    // A missing ORB or CCO is no error: both are waited for on retry timers,
    // without a trace.
    if (!orbConnection->isOrbAvailable()) {
        orbTimerId = startTimer(reconnectInterval, Qt::CoarseTimer);
        return;
    }

    if (orbConnection->connectToCCO())
        InitMatrixManager();
    else
        ccoTimerId = startTimer(reconnectInterval, Qt::CoarseTimer);
}

void ExternalCCODriver::InitMatrixManager()
{
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
    if (antennaComm)
        antennaComm->DisconnectAntenna();
}

void ExternalCCODriver::SetRangesToAntennaMatrix(
    std::vector<receivers::antenna::driver::AntennaRangeDefinition> &ranges)
{
    if (!antennaComm) {
        DRIVER_TRACE(QStringLiteral("ExternalCCODriver: No Antenna Communication Possible!"));
        return;
    }
    antennaComm->SetRangesToAntennaMatrix(ranges);
}

void ExternalCCODriver::startAntennaSide()
{
    if (antennaComm)
        return;
    antennaComm = new AntennaComm();
    antennaSelfHealing = AntennaSelfHealing::createIfConfigured(cfg, *antennaComm, reconnectInterval, this);
    // Receiver values that are not there yet, or a matrix manager that cannot
    // be found, are no error: init is tried again on every tick.
    if (!initAntennaComm(antennaComm, valuePath, cfg))
        matrixTimerId = startTimer(reconnectInterval, Qt::CoarseTimer);
}

void ExternalCCODriver::retryAntennaSide()
{
    if (!antennaComm || !initAntennaComm(antennaComm, valuePath, cfg))
        return;
    killTimer(matrixTimerId);
    matrixTimerId = -1;
}

void ExternalCCODriver::deleteAntennaSide()
{
    // The retry timer is gone already (first step of the destructor).
    // AntennaComm leaves the matrix as it is.
    delete antennaSelfHealing;
    antennaSelfHealing = nullptr;
    delete antennaComm;
    antennaComm = nullptr;
}
