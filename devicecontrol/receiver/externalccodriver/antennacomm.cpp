#include "antennacomm.h"

#include "antennaswitchinghooks.h"
#include "antennaswitchingtexts.h"
#include "antennavaluelookup.h"
#include "drivertrace.h"
#include "icfg.h"
#include "node.h"
#include "orbconnection.h"
#include "tree.h"
#include "value.h"
#include "valueselection.h"
#include "vornos.h"

#include <QByteArray>
#include <QTimerEvent>
#include <exception>

using namespace antennaswitching;

namespace
{
const int switchingDelayMs = 20;

// Without a companion every hook is a no-op.
AntennaSwitchingHooks noHooks;

// The format-style trace of a text taken from the value tree. The text is
// handed over as the argument of "%s", not as the format itself: the line is
// the same, but an antenna named "%s" cannot make the trace read the stack.
void traceVerbatim(const QString &text)
{
    if (DRIVER_TRACE_ENABLED())
        _Q_TraceOld("%s", text.toLocal8Bit().constData());
}

// Detaches `observer` from a value or node that it observes, clearing the
// pointer.
template <typename T> void detach(T *&field, IObserver *observer)
{
    if (field) {
        field->DeleteObserver(observer);
        field = nullptr;
    }
}
}

AntennaComm::AntennaComm()
    : QObject(nullptr)
    , antennaValue(nullptr)
    , hardwareStatusValue(nullptr)
    , lastDriverErrorValue(nullptr)
    , usingAntennaMatrixValue(nullptr)
    , driverOccupiedValue(nullptr)
    , matrixOutValue(nullptr)
    , antennasNode(nullptr)
    , initialised(false)
    , matrixConnected(false)
    , matrixId(1)
    , matrix(MatrixManager::IF_MMR_c::_nil())
    , pendingTimerId(-1)
    , cfg(nullptr)
    , isPX19(false)
    , outputPort(0)
    , connectedInput(0)
    , hooks(&noHooks)
{
}

AntennaComm::~AntennaComm()
{
    antennaPorts.clear();

    detach(antennaValue, this);
    detach(hardwareStatusValue, this);
    detach(usingAntennaMatrixValue, this);
    detach(driverOccupiedValue, this);
    detach(matrixOutValue, this);
    values::Tree *tree = values::Tree::Instance();
    if (antennasNode) {
        // A node reports no release of its own; only a node that is still
        // the one in the tree is touched.
        if (tree && tree->FindNode(devicePath + QStringLiteral("/ANTENNAS")) == antennasNode)
            antennasNode->DeleteObserver(this);
        antennasNode = nullptr;
    }

    if (tree) {
        tree->RemoveValue(devicePath + QStringLiteral("/USINGANTENNAMATRIX"));
        tree->RemoveValue(devicePath + QStringLiteral("/DRIVEROCCUPIED"));
    }

    lastDriverErrorValue = nullptr;
    cfg = nullptr;
    matrix = MatrixManager::IF_MMR_c::_nil();
}

void AntennaComm::setSwitchingHooks(AntennaSwitchingHooks *switchingHooks)
{
    hooks = switchingHooks ? switchingHooks : &noHooks;
}

bool AntennaComm::init(QString path, ICfg *config)
{
    // Without a configuration or a value tree nothing can be looked up yet;
    // the driver simply tries again on its next tick.
    if (!config || !values::Tree::Instance())
        return false;

    cfg = config;
    matrixId = cfg->ReadInt(QStringLiteral("MatrixID"), 1, false);
    matrixRemoteHost = cfg->ReadString(QStringLiteral("MatrixRemoteHost"), QString(), false);
    // Should a notification have found the manager between two calls, the
    // lookup below returns at once and leaves the path empty; the next
    // switching run then fails to resolve it, reports the manager as not
    // responding, and the change after that looks it up anew.
    matrixPath.clear();

    if (!initialised) {
        outputPort = static_cast<quint16>(cfg->ReadInt(QStringLiteral("OutputNumber"), 0, false));
        devicePath = path;
        isPX19 = devicePath.contains(QLatin1String("PX19"));

        if (isPX19) {
            antennaValue = CreateObservedValue<values::ValueSelection>(devicePath + QStringLiteral("/ANTENNA"), this);
        } else {
            antennaValue = FindObservedSelection(devicePath + QStringLiteral("/ANTENNA"), antennaValue, this);
            hardwareStatusValue
                = FindObservedSelection(devicePath + QStringLiteral("/HARDWARESTATUS"), hardwareStatusValue, this);
            lastDriverErrorValue = dynamic_cast<values::Value<QString> *>(
                values::Tree::Instance()->FindValue(devicePath + QStringLiteral("/LASTDRIVERERROR")));
            if (!antennaValue || !hardwareStatusValue)
                return false;
        }

        usingAntennaMatrixValue
            = CreateObservedValue<values::Value<bool>>(devicePath + QStringLiteral("/USINGANTENNAMATRIX"), this);
        usingAntennaMatrixValue->SetValue(true, this);
        driverOccupiedValue
            = CreateObservedValue<values::Value<bool>>(devicePath + QStringLiteral("/DRIVEROCCUPIED"), this);
        driverOccupiedValue->SetValue(false, this);
        initialised = true;
        InitAntennas();
    }

    // HARDWARESTATUS may have gone away since the first call (code 2); that
    // counts as hardware that does not run.
    const bool found = hardwareRuns() ? ResolveMatrixManager() : true;
    hooks->startUpTried(found);
    return found;
}

void AntennaComm::InitAntennas()
{
    antennaPorts.clear();

    matrixOutValue = CreateObservedValue<values::Value<int>>(devicePath + QStringLiteral("/ANTENNAS/MatrixOut"), this);
    outputPort = portFromText(matrixOutValue->GetStringValue());

    // Creating MatrixOut above creates ANTENNAS as well, so the node is
    // normally there; without it the antenna table stays empty.
    antennasNode = values::Tree::Instance()->FindNode(devicePath + QStringLiteral("/ANTENNAS"));
    if (antennasNode)
        antennasNode->AddObserver(this);

    ReadAntennaNames();
}

void AntennaComm::ReadAntennaNames()
{
    antennaPorts.clear();
    DRIVER_TRACE(QStringLiteral("Antenna Names:"));

    // Without the selection (released by the host) no name can be an
    // antenna of it.
    if (antennasNode && antennaValue) {
        values::Tree *tree = values::Tree::Instance();
        const QString nodePath = antennasNode->GetPath();
        const QList<values::TreeItem *> items = antennasNode->GetTreeItems();
        for (values::TreeItem *item : items) {
            const QString name = item->GetName();
            if (!antennaValue->GetItem(name))
                continue;
            values::Node *antennaNode = tree->FindNode(nodePath + QLatin1Char('/') + name);
            values::ValueBase *externalNumber
                = antennaNode ? antennaNode->GetChildValue(QStringLiteral("ExternalNumber")) : nullptr;
            if (!externalNumber)
                continue;
            const QString number = externalNumber->GetStringValue();
            antennaPorts.insert(name, portFromText(number));
            traceVerbatim(name);
            traceVerbatim(number);
        }
    }

    DRIVER_TRACE(QStringLiteral("Antenna Names: finish"));
    hooks->antennaTableRead();
}

QString AntennaComm::matrixName() const
{
    const QString interfacePart = QStringLiteral("/AntennaMatrixManager%1/IF_MMR_c").arg(matrixId);
    QString host = matrixRemoteHost;
    if (host.isEmpty())
        host = QString::fromStdWString(VornOS::Create().GetComputerName());
    return QStringLiteral("CCO/LocalSystem/LocalSubSystem/Workstations/") + host + interfacePart;
}

bool AntennaComm::ResolveMatrixManager()
{
    if (matrixConnected)
        return true;

    matrixPath = matrixName();

    // The lookup asks the CCO and the narrowing may ask the object found;
    // either can fail with a CORBA exception (a CCO or matrix manager that
    // went away, a timeout). That is treated like a name that did not
    // resolve: not connected, `matrix` left as it was, and no exception
    // reaches Notify's caller or the driver's timer.
    try {
        CORBA::Object_var object
            = ORBConnection::instance()->resolveInterface(QString::fromLatin1(matrixPath.toLatin1()), &matrixConnected);
        if (!matrixConnected)
            return false;
        matrix = MatrixManager::IF_MMR_c::_narrow(object);
        matrixConnected = !CORBA::is_nil(matrix);
    } catch (const CORBA::Exception &e) {
        matrixConnected = false;
        DRIVER_TRACE(QStringLiteral("AntennaComm::ResolveMatrixManager: ") + describe(e));
    } catch (...) {
        matrixConnected = false;
        DRIVER_TRACE(QStringLiteral("AntennaComm::ResolveMatrixManager: unknown exception"));
    }
    return matrixConnected;
}

bool AntennaComm::hardwareRuns() const
{
    return isPX19 || (hardwareStatusValue && hardwareStatusValue->GetStringValue() == QLatin1String("RUNNING"));
}

void AntennaComm::Notify(Observable *subject, unsigned int code)
{
    switch (code) {
    case 2: {
        // A value in state 1 is about to be destroyed: let go of it.
        auto letGo = [this, subject](auto *&field) {
            if (!field || subject != field)
                return false;
            if (field->GetState() == values::ValueBase::StateReleased) {
                field->DeleteObserver(this);
                field = nullptr;
            }
            return true;
        };
        // Only the first field that matches acts.
        (void)(letGo(antennaValue) || letGo(hardwareStatusValue) || letGo(driverOccupiedValue)
            || letGo(usingAntennaMatrixValue) || letGo(matrixOutValue));
        break;
    }
    case 3:
        if (antennaValue && subject == antennaValue) {
            if (matrixConnected)
                scheduleSwitchingRun();
            else if (hardwareRuns())
                ResolveMatrixManager();
        } else if (hardwareStatusValue && subject == hardwareStatusValue) {
            if (hardwareStatusValue->GetStringValue() == QLatin1String("RUNNING"))
                ResolveMatrixManager();
        } else if (matrixOutValue && subject == matrixOutValue) {
            outputPort = portFromText(matrixOutValue->GetStringValue());
        }
        break;
    case 16:
        if (antennasNode && subject == antennasNode)
            ReadAntennaNames();
        break;
    case 19:
        if (usingAntennaMatrixValue && subject == usingAntennaMatrixValue) {
            if (!matrixConnected) {
                DRIVER_TRACE(QStringLiteral("User CMD received"));
            } else if (pendingTimerId == -1) {
                // A command while connected switches the selected antenna
                // again, but only when no run is pending: a pending run
                // switches it anyway, and restarting its timer here would let
                // a stream of commands postpone the switch for ever.
                scheduleSwitchingRun();
                if (pendingTimerId != -1)
                    DRIVER_TRACE(QStringLiteral("Connect Thread Started!"));
            }
        }
        break;
    default:
        break;
    }
    hooks->notified(subject, code);
}

// Restarting the timer on every change makes a burst of changes end in one
// switching run, 20 ms after the last of them.
void AntennaComm::scheduleSwitchingRun()
{
    if (pendingTimerId != -1)
        killTimer(pendingTimerId);
    const int id = startTimer(switchingDelayMs, Qt::CoarseTimer);
    pendingTimerId = id > 0 ? id : -1;
}

void AntennaComm::timerEvent(QTimerEvent *event)
{
    if (pendingTimerId == -1 || event->timerId() != pendingTimerId)
        return;
    killTimer(pendingTimerId);
    pendingTimerId = -1;
    hooks->switchingRunStarting();
    // The run catches its CORBA failures itself; this only keeps whatever
    // else a value's observers might throw out of the host's event loop.
    try {
        OnAntennaChanged();
    } catch (const std::exception &e) {
        DRIVER_TRACE(
            QStringLiteral("AntennaComm::timerEvent: exception in switching run: ") + QString::fromLocal8Bit(e.what()));
    } catch (...) {
        DRIVER_TRACE(QStringLiteral("AntennaComm::timerEvent: unknown exception in switching run"));
    }
    hooks->switchingRunEnded();
}

// LASTDRIVERERROR is written but not observed, so nothing would tell this
// object when the host removes it. The pointer is therefore compared with
// what the tree holds now before each write; a replaced value is written
// instead, a removed one not at all.
void AntennaComm::writeDriverError(const QString &text)
{
    if (!lastDriverErrorValue)
        return;
    values::Tree *tree = values::Tree::Instance();
    lastDriverErrorValue = tree
        ? dynamic_cast<values::Value<QString> *>(tree->FindValue(devicePath + QStringLiteral("/LASTDRIVERERROR")))
        : nullptr;
    if (lastDriverErrorValue)
        lastDriverErrorValue->SetValue(text, nullptr);
}

void AntennaComm::OnAntennaChanged()
{
    QString errorText;

    // Looked up on every run, so a restarted matrix manager is picked up.
    CORBA::Object_var object;
    try {
        object
            = ORBConnection::instance()->resolveInterface(QString::fromLatin1(matrixPath.toLatin1()), &matrixConnected);
        if (!matrixConnected)
            errorText = QLatin1String(commControllerNotResponding);
        matrix = MatrixManager::IF_MMR_c::_narrow(object);
        if (CORBA::is_nil(matrix) && matrixConnected)
            errorText = QLatin1String(matrixManagerNotAvailable);
    } catch (const CORBA::Exception &e) {
        // A lookup or narrowing that fails with an exception means the CCO or
        // the object found did not answer: the same outcome as a failed
        // lookup.
        matrixConnected = false;
        errorText = QLatin1String(commControllerNotResponding);
        DRIVER_TRACE(QStringLiteral("AntennaComm::OnAntennaChanged: lookup failed: ") + describe(e));
    } catch (...) {
        matrixConnected = false;
        errorText = QLatin1String(commControllerNotResponding);
        DRIVER_TRACE(QStringLiteral("AntennaComm::OnAntennaChanged: lookup failed"));
    }
    if (!errorText.isEmpty()) {
        writeDriverError(errorText);
        hooks->driverErrorReported(errorText);
        return;
    }
    hooks->matrixLookedUp();

    if (!initialised) {
        DRIVER_TRACE(QStringLiteral("Call Connect Antenna not found"));
        return;
    }
    DRIVER_TRACE(QStringLiteral("Call Connect Antenna"));
    // The selection may have been released (code 2) after the run was
    // scheduled; with nothing selected there is nothing to switch.
    if (!antennaValue) {
        DRIVER_TRACE(QStringLiteral("AntennaComm::OnAntennaChanged: antenna selection gone, nothing switched"));
        return;
    }
    const QString selected = antennaValue->GetStringValue();
    const auto found = antennaPorts.constFind(selected);
    if (found == antennaPorts.constEnd()) {
        hooks->antennaNotInTable(selected);
        return;
    }

    DRIVER_TRACE(QStringLiteral("Call Connect Antenna found"));
    const quint16 port = found.value();
    if (port == connectedInput)
        return;

    if (connectedInput != 0) {
        try {
            matrix->disconnect(connectedInput, outputPort);
        } catch (const MatrixManager::IF_MMR_c::UnknownPortException &) {
            TRACE_MATRIX_EXCEPTION("UnknownPortException");
        } catch (const MatrixManager::IF_MMR_c::DisconnectionFailureException &) {
            TRACE_MATRIX_EXCEPTION("DisconnectionFailureException");
        } catch (const MatrixManager::IF_MMR_c::NotConnectedException &) {
            TRACE_MATRIX_EXCEPTION("NotConnectedException");
        } catch (...) {
            DRIVER_TRACE(QLatin1String(disconnectFailedTrace));
            hooks->disconnectFailed(connectedInput, outputPort);
        }
    }

    // The antenna has no matrix input: the receiver is left without one.
    if (port == 0) {
        connectedInput = 0;
        hooks->switched(0, outputPort);
        return;
    }

    if (DRIVER_TRACE_ENABLED())
        _Q_TraceOld(
            "Call Connect Antenna with slots: %d in %d out", static_cast<int>(port), static_cast<int>(outputPort));
    try {
        matrix->connect(port, outputPort);
        connectedInput = port;
        hooks->switched(port, outputPort);
    } catch (const MatrixManager::IF_MMR_c::UnknownPortException &) {
        TRACE_MATRIX_EXCEPTION("UnknownPortException");
        hooks->connectRefused(port, outputPort, false);
    } catch (const MatrixManager::IF_MMR_c::ConnectionFailureException &) {
        TRACE_MATRIX_EXCEPTION("ConnectionFailureException");
        hooks->connectRefused(port, outputPort, false);
    } catch (const MatrixManager::IF_MMR_c::ConnectedException &) {
        TRACE_MATRIX_EXCEPTION("ConnectedException");
        hooks->connectRefused(port, outputPort, true);
    } catch (...) {
        DRIVER_TRACE(QStringLiteral("Caught Expection in AntennaComm connect, OnAntennaChanged"));
        errorText = QLatin1String(exceptionInCallOfMmr);
        hooks->connectReplyLost(port, outputPort);
    }

    if (!errorText.isEmpty()) {
        writeDriverError(errorText);
        hooks->driverErrorReported(errorText);
    }
}

void AntennaComm::DisconnectAntenna()
{
    bool answered = false;
    // `matrix` is nil after a run that found a non-matrix object under the
    // name; that ends like any other failed call.
    if (matrixConnected && initialised && connectedInput != 0) {
        try {
            if (CORBA::is_nil(matrix))
                throw CORBA::OBJECT_NOT_EXIST();
            matrix->disconnect(connectedInput, outputPort);
            answered = true;
        } catch (...) {
            DRIVER_TRACE(QLatin1String(disconnectFailedTrace));
        }
    }
    hooks->antennaReleased(answered);
}

void AntennaComm::SetRangesToAntennaMatrix(std::vector<receivers::antenna::driver::AntennaRangeDefinition> &ranges)
{
    DRIVER_TRACE(QStringLiteral("SetRangesToAntennaMatrix called"));

    MatrixManager::PortRangeList portRanges;
    portRanges.length(static_cast<CORBA::ULong>(ranges.size()));
    CORBA::ULong index = 0;
    for (const auto &definition : ranges) {
        MatrixManager::PortRange &range = portRanges[index++];
        // Index-or-insert: an unknown antenna goes out with port 0 and stays
        // in the table with it until the table is read again.
        range.port = antennaPorts[definition.antennaName];
        range.rangeStart = definition.rangeStart;
        range.rangeStop = definition.rangeStop;
    }

    if (CORBA::is_nil(matrix)) {
        DRIVER_TRACE(QStringLiteral("Could not resolve Antenna Matrix Driver @ ") + matrixPath);
        hooks->rangesHandedOver(portRanges, false);
        return;
    }

    bool stale = false;
    try {
        stale = matrix->_non_existent();
    } catch (...) {
        stale = true;
    }
    if (stale) {
        matrixConnected = false;
        ResolveMatrixManager();
    }

    bool taken = false;
    try {
        DRIVER_TRACE(QStringLiteral("AntennaComm: trying to set ranges.."));
        // A failed narrowing in the lookup above leaves `matrix` nil; that
        // ends as a failed call.
        if (CORBA::is_nil(matrix))
            throw CORBA::OBJECT_NOT_EXIST();
        MatrixManager::PortRangeList_var unused = matrix->setRanges(outputPort, portRanges);
        taken = true;
        DRIVER_TRACE(QStringLiteral("AntennaComm: setting ranges successful"));
    } catch (const MatrixManager::IF_MMR_c::UnknownPortException &e) {
        taken = true;
        DRIVER_TRACE(QStringLiteral("AntennaComm: Port is unknown, because ") + QString::fromUtf8(e.reason.in()));
    } catch (const MatrixManager::IF_MMR_c::RangesNotSupported &e) {
        taken = true;
        DRIVER_TRACE(
            QStringLiteral("AntennaComm: Ranges are not supported, because ") + QString::fromUtf8(e.reason.in()));
    } catch (...) {
        DRIVER_TRACE(QStringLiteral("AntennaComm: could not set antenna ranges to matrix server"));
    }
    hooks->rangesHandedOver(portRanges, taken);
}
