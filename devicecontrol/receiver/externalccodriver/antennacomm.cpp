#include "antennacomm.h"

#include "drivertrace.h"
#include "icfg.h"
#include "node.h"
#include "orbconnection.h"
#include "tree.h"
#include "value.h"
#include "valueselection.h"
#include "vornos.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QTimerEvent>
#include <exception>
#include <memory>

namespace
{
const int switchingDelayMs = 20;

const char commControllerNotResponding[] = "Antenna cannot be changed, CommController not responding!";
const char matrixManagerNotAvailable[] = "Antenna cannot be changed, MatrixManager not available!";
const char exceptionInCallOfMmr[] = "Antenna cannot be changed, Exception in call of MMR caught!";

const char matrixStateName[] = "/MATRIXSTATE";
// A run or tick that took this long waited for a server that did not answer.
const qint64 stallThresholdMs = 200;

// Port numbers are 16 bits wide; a text that is no number gives port 0.
quint16 portFromText(const QString &text)
{
    return static_cast<quint16>(text.toInt(nullptr, 10));
}

// The format-style trace of a text taken from the value tree. The text is
// handed over as the argument of "%s", not as the format itself: the line is
// the same, but an antenna named "%s" cannot make the trace read the stack.
void traceVerbatim(const QString &text)
{
    if (DRIVER_TRACE_ENABLED())
        _Q_TraceOld("%s", text.toLocal8Bit().constData());
}

QString describe(const CORBA::Exception &e)
{
    QString text = QString::fromLatin1(e._name());
    if (const auto *system = dynamic_cast<const CORBA::SystemException *>(&e))
        text += QStringLiteral(", minor 0x%1").arg(system->minor(), 0, 16);
    return text;
}

// Finds the value of type T at `path` or creates it. A value of another type
// under the same name cannot be replaced; the new value is then used although
// the tree did not take it, which the trace reports.
template <typename T> T *CreateObservedValue(const QString &path, IObserver *observer)
{
    values::Tree *tree = values::Tree::Instance();
    T *value = dynamic_cast<T *>(tree->FindValue(path));
    if (!value) {
        const int slash = path.lastIndexOf(QLatin1Char('/'));
        const QString name = path.mid(slash + 1);
        const QString parentPath = path.left(slash + 1);
        // Held until the tree has answered: a tree that throws (a value
        // where a node of the path belongs) must not leak it.
        std::unique_ptr<T> created(new T);
        created->SetName(name, nullptr);
        const bool added = tree->AddValue(parentPath, created.get());
        value = created.release();
        if (!added)
            DRIVER_TRACE(QStringLiteral("!!!!!!!MEMORY LEAK! The value with the path '%1' could not be created!!! A "
                                        "value of this name already exists for a different type!!!!!!!!")
                             .arg(path));
    }
    if (observer)
        value->AddObserver(observer);
    return value;
}

// Detaching from the previous value first keeps a repeated lookup from
// observing the same value twice.
values::ValueSelection *FindObservedSelection(
    const QString &path, values::ValueSelection *previous, IObserver *observer)
{
    if (previous && observer)
        previous->DeleteObserver(observer);
    auto *selection = dynamic_cast<values::ValueSelection *>(values::Tree::Instance()->FindValue(path));
    if (!selection)
        return nullptr;
    if (observer)
        selection->AddObserver(observer);
    return selection;
}

// Restarting the timer on every change makes a burst of changes end in one
// switching run, 20 ms after the last of them.
void restartSwitchingTimer(QObject *owner, int &pendingTimerId)
{
    if (pendingTimerId != -1)
        owner->killTimer(pendingTimerId);
    const int id = owner->startTimer(switchingDelayMs, Qt::CoarseTimer);
    pendingTimerId = id > 0 ? id : -1;
}

// LASTDRIVERERROR is written but not observed, so nothing would tell this
// object when the host removes it. The pointer is therefore compared with
// what the tree holds now before each write; a replaced value is written
// instead, a removed one not at all.
void writeDriverError(values::Value<QString> *&errorValue, const QString &devicePath, const QString &text)
{
    if (!errorValue)
        return;
    values::Tree *tree = values::Tree::Instance();
    errorValue = tree
        ? dynamic_cast<values::Value<QString> *>(tree->FindValue(devicePath + QStringLiteral("/LASTDRIVERERROR")))
        : nullptr;
    if (errorValue)
        errorValue->SetValue(text, nullptr);
}

// A timeout says nothing about the object behind the reference; any other
// system exception of a call means that the reference leads nowhere (the
// manager was restarted elsewhere or is gone), so a fresh lookup may help at
// once.
bool referenceIsDead(const CORBA::SystemException &e)
{
    return !dynamic_cast<const CORBA::TIMEOUT *>(&e);
}

QString unusableNumberText(const QString &antenna, const QString &number)
{
    return QStringLiteral("Antenna cannot be changed, ExternalNumber '%1' of antenna %2 is no matrix input (1..65535)!")
        .arg(number, antenna);
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
{
}

AntennaComm::~AntennaComm()
{
    antennaPorts.clear();

    if (antennaValue) {
        antennaValue->DeleteObserver(this);
        antennaValue = nullptr;
    }
    if (hardwareStatusValue) {
        hardwareStatusValue->DeleteObserver(this);
        hardwareStatusValue = nullptr;
    }
    if (usingAntennaMatrixValue) {
        usingAntennaMatrixValue->DeleteObserver(this);
        usingAntennaMatrixValue = nullptr;
    }
    if (driverOccupiedValue) {
        driverOccupiedValue->DeleteObserver(this);
        driverOccupiedValue = nullptr;
    }
    if (matrixOutValue) {
        matrixOutValue->DeleteObserver(this);
        matrixOutValue = nullptr;
    }
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
        // Describes this object's work, so it goes with it.
        if (selfHealing && initialised)
            tree->RemoveValue(devicePath + QLatin1String(matrixStateName));
    }

    lastDriverErrorValue = nullptr;
    cfg = nullptr;
    matrix = MatrixManager::IF_MMR_c::_nil();
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
    selfHealing = cfg->ReadBool(QStringLiteral("AntennaSelfHealing"), false, false);
    // Without self-healing the path is cleared on every call. Should a
    // notification have found the manager between two calls, the lookup
    // below returns at once and leaves the path empty; the next switching run
    // then fails to resolve it, reports the manager as not responding, and
    // the change after that looks it up anew. Self-healing keeps the path.
    if (selfHealing)
        matrixPath = matrixName();
    else
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
        // A tree that throws while the antennas are set up leaves the
        // start-up unfinished: the next init does it again rather than run
        // without an antenna table.
        try {
            InitAntennas();
        } catch (...) {
            initialised = false;
            throw;
        }
    }

    // HARDWARESTATUS may have gone away since the first call (code 2); that
    // counts as hardware that does not run.
    if (hardwareRuns()) {
        const bool found = ResolveMatrixManager();
        if (!found)
            reportState(QStringLiteral("waiting for the matrix manager %1").arg(matrixPath));
        return found;
    }
    reportState(QStringLiteral("waiting for the receiver hardware (HARDWARESTATUS is not RUNNING)"));
    return true;
}

void AntennaComm::InitAntennas()
{
    antennaPorts.clear();

    matrixOutValue = CreateObservedValue<values::Value<int>>(devicePath + QStringLiteral("/ANTENNAS/MatrixOut"), this);
    outputPort = portFromText(matrixOutValue->GetStringValue());

    // Creating MatrixOut above creates ANTENNAS as well, so the node is
    // normally there. Should it be missing (or be removed or replaced by the
    // host later), antennasNode is null or stale and the table empty or old;
    // ReadAntennaNames takes the node from the tree afresh, and every antenna
    // change runs it when the node in the tree is not the observed one (see
    // Notify). Nothing is read through a node that is gone.
    antennasNode = values::Tree::Instance()->FindNode(devicePath + QStringLiteral("/ANTENNAS"));
    if (antennasNode)
        antennasNode->AddObserver(this);

    ReadAntennaNames();
}

void AntennaComm::ReadAntennaNames()
{
    antennaPorts.clear();
    DRIVER_TRACE(QStringLiteral("Antenna Names:"));

    // A node gives no notice when it is destroyed, so the stored pointer is
    // never dereferenced here: the node is taken from the tree afresh, and
    // observed if it is a new one.
    values::Tree *tree = values::Tree::Instance();
    values::Node *found = tree ? tree->FindNode(devicePath + QStringLiteral("/ANTENNAS")) : nullptr;
    if (found && (found != antennasNode || antennasNodeMayBeGone)) {
        // Possibly the old node's address reused by a new one: leave it
        // observed exactly once.
        found->DeleteObserver(this);
        found->AddObserver(this);
    }
    antennasNode = found;
    antennasNodeMayBeGone = false;
    unusableExternalNumbers.clear();

    if (antennasNode) {
        const QString nodePath = antennasNode->GetPath();
        const QList<values::TreeItem *> items = antennasNode->GetTreeItems();
        for (values::TreeItem *item : items) {
            const QString name = item->GetName();
            // Without the selection (released by the host) no name can be an
            // antenna of it.
            if (!antennaValue || !antennaValue->GetItem(name))
                continue;
            values::Node *antennaNode = tree->FindNode(nodePath + QLatin1Char('/') + name);
            values::ValueBase *externalNumber
                = antennaNode ? antennaNode->GetChildValue(QStringLiteral("ExternalNumber")) : nullptr;
            if (!externalNumber)
                continue;
            const QString number = externalNumber->GetStringValue();
            bool isNumber = false;
            const int value = number.toInt(&isNumber, 10);
            // Without self-healing the low 16 bits count, as for every port.
            // With it a number that is no port is an error, not another
            // antenna's input; 0 still means "no matrix input".
            if (selfHealing && (!isNumber || value < 0 || value > 65535)) {
                unusableExternalNumbers.insert(name, number);
                DRIVER_TRACE(unusableNumberText(name, number));
                continue;
            }
            antennaPorts.insert(name, portFromText(number));
            traceVerbatim(name);
            traceVerbatim(number);
        }
    }

    DRIVER_TRACE(QStringLiteral("Antenna Names: finish"));
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
        const bool observedMatrixOut = matrixOutValue != nullptr;
        // Only the first field that matches acts.
        (void)(letGo(antennaValue) || letGo(hardwareStatusValue) || letGo(driverOccupiedValue)
            || letGo(usingAntennaMatrixValue) || letGo(matrixOutValue));
        // A node says nothing when it is destroyed, but MatrixOut, its
        // child, does: the observed node may be gone with it.
        if (observedMatrixOut && !matrixOutValue)
            antennasNodeMayBeGone = true;
        break;
    }
    case 3:
        if (antennaValue && subject == antennaValue) {
            // A missing or replaced ANTENNAS node is looked for again here,
            // so the antenna table catches up no later than the change that
            // needs it. A node that this object does not observe is a new
            // one, even at the address of the old.
            values::Tree *tree = values::Tree::Instance();
            values::Node *current = tree ? tree->FindNode(devicePath + QStringLiteral("/ANTENNAS")) : nullptr;
            if (current != antennasNode || antennasNodeMayBeGone)
                ReadAntennaNames();
            releasedByCommit = false;

            if (matrixConnected)
                restartSwitchingTimer(this, pendingTimerId);
            else if (hardwareRuns() && ResolveMatrixManager() && selfHealing)
                // Found just now: self-healing switches this change rather
                // than waiting for the next one.
                scheduleSwitchingRun();
        } else if (hardwareStatusValue && subject == hardwareStatusValue) {
            if (hardwareStatusValue->GetStringValue() == QLatin1String("RUNNING") && ResolveMatrixManager()
                && selfHealing)
                scheduleSwitchingRun();
        } else if (matrixOutValue && subject == matrixOutValue) {
            if (selfHealing)
                takeOutputPort(portFromText(matrixOutValue->GetStringValue()));
            else
                outputPort = portFromText(matrixOutValue->GetStringValue());
        }
        break;
    case 16:
        if (antennasNode && subject == antennasNode)
            ReadAntennaNames();
        break;
    case 19:
        if (usingAntennaMatrixValue && subject == usingAntennaMatrixValue) {
            releasedByCommit = false;
            if (!matrixConnected) {
                DRIVER_TRACE(QStringLiteral("User CMD received"));
            } else if (pendingTimerId == -1) {
                // A command while connected switches the selected antenna
                // again, but only when no run is pending: a pending run
                // switches it anyway, and restarting its timer here would let
                // a stream of commands postpone the switch for ever.
                restartSwitchingTimer(this, pendingTimerId);
                if (pendingTimerId != -1)
                    DRIVER_TRACE(QStringLiteral("Connect Thread Started!"));
            }
        }
        break;
    default:
        break;
    }
}

void AntennaComm::timerEvent(QTimerEvent *event)
{
    if (pendingTimerId == -1 || event->timerId() != pendingTimerId)
        return;
    killTimer(pendingTimerId);
    pendingTimerId = -1;
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
}

void AntennaComm::OnAntennaChanged()
{
    QElapsedTimer run;
    run.start();
    OnAntennaChangedRun();
    if (selfHealing)
        noteStall(run.elapsed());
}

void AntennaComm::OnAntennaChangedRun()
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
        // A lookup or narrowing that fails with an exception means the
        // CCO or the object found did not answer: the same outcome as a
        // failed lookup.
        matrixConnected = false;
        errorText = QLatin1String(commControllerNotResponding);
        DRIVER_TRACE(QStringLiteral("AntennaComm::OnAntennaChanged: lookup failed: ") + describe(e));
    } catch (...) {
        matrixConnected = false;
        errorText = QLatin1String(commControllerNotResponding);
        DRIVER_TRACE(QStringLiteral("AntennaComm::OnAntennaChanged: lookup failed"));
    }

    if (!errorText.isEmpty()) {
        writeDriverError(lastDriverErrorValue, devicePath, errorText);
        reportState(errorText);
        return;
    }

    // What an earlier run or another output left behind goes first, so that
    // the matrix has room for the new connection.
    if (selfHealing && initialised)
        releaseLeftovers();

    if (!initialised) {
        DRIVER_TRACE(QStringLiteral("Call Connect Antenna not found"));
    } else {
        DRIVER_TRACE(QStringLiteral("Call Connect Antenna"));
        // The selection may have been released (code 2) after the run was
        // scheduled; with nothing selected there is nothing to switch.
        if (!antennaValue) {
            DRIVER_TRACE(QStringLiteral("AntennaComm::OnAntennaChanged: antenna selection gone, nothing switched"));
            return;
        }
        const QString selected = antennaValue->GetStringValue();
        const auto found = antennaPorts.constFind(selected);
        if (found == antennaPorts.constEnd() && unusableExternalNumbers.contains(selected))
            errorText = unusableNumberText(selected, unusableExternalNumbers.value(selected));
        if (found != antennaPorts.constEnd()) {
            DRIVER_TRACE(QStringLiteral("Call Connect Antenna found"));
            const quint16 port = found.value();
            if (port == connectedInput)
                return;

            if (connectedInput != 0) {
                try {
                    matrix->disconnect(connectedInput, outputPort);
                } catch (const MatrixManager::IF_MMR_c::UnknownPortException &) {
                    DRIVER_TRACE(QStringLiteral(
                        "AntennaComm::OnAntennaChanged:Exception - MatrixManager::IF_MMR_c::UnknownPortException"));
                } catch (const MatrixManager::IF_MMR_c::DisconnectionFailureException &) {
                    DRIVER_TRACE(QStringLiteral("AntennaComm::OnAntennaChanged:Exception - "
                                                "MatrixManager::IF_MMR_c::DisconnectionFailureException"));
                } catch (const MatrixManager::IF_MMR_c::NotConnectedException &) {
                    DRIVER_TRACE(QStringLiteral(
                        "AntennaComm::OnAntennaChanged:Exception - MatrixManager::IF_MMR_c::NotConnectedException"));
                } catch (...) {
                    DRIVER_TRACE(QStringLiteral("Caught Expection in AntennaComm disconnect, OnAntennaChanged"));
                    // Whether it went through is unknown: released later.
                    if (selfHealing)
                        leftovers.insert(qMakePair(connectedInput, outputPort));
                }
            }

            if (port == 0) {
                // The antenna has no matrix input: the receiver is left
                // without one.
                connectedInput = 0;
                clearDriverError();
                reportState(QStringLiteral("antenna %1 has no matrix input; output %2 left free")
                                .arg(selected)
                                .arg(outputPort));
            } else {
                if (DRIVER_TRACE_ENABLED())
                    _Q_TraceOld("Call Connect Antenna with slots: %d in %d out", static_cast<int>(port),
                        static_cast<int>(outputPort));
                bool connected = false;
                try {
                    matrix->connect(port, outputPort);
                    connectedInput = port;
                    connected = true;
                } catch (const MatrixManager::IF_MMR_c::UnknownPortException &) {
                    DRIVER_TRACE(QStringLiteral(
                        "AntennaComm::OnAntennaChanged:Exception - MatrixManager::IF_MMR_c::UnknownPortException"));
                } catch (const MatrixManager::IF_MMR_c::ConnectionFailureException &) {
                    DRIVER_TRACE(QStringLiteral("AntennaComm::OnAntennaChanged:Exception - "
                                                "MatrixManager::IF_MMR_c::ConnectionFailureException"));
                } catch (const MatrixManager::IF_MMR_c::ConnectedException &) {
                    DRIVER_TRACE(QStringLiteral(
                        "AntennaComm::OnAntennaChanged:Exception - MatrixManager::IF_MMR_c::ConnectedException"));
                    // Self-healing has released what it left on this output,
                    // so the connection refused is the one wanted.
                    if (selfHealing) {
                        connectedInput = port;
                        connected = true;
                    }
                } catch (...) {
                    DRIVER_TRACE(QStringLiteral("Caught Expection in AntennaComm connect, OnAntennaChanged"));
                    errorText = QLatin1String(exceptionInCallOfMmr);
                    // The reply never came; the matrix may still carry it out.
                    if (selfHealing)
                        leftovers.insert(qMakePair(port, outputPort));
                }
                if (connected) {
                    connectedOutput = outputPort;
                    leftovers.remove(qMakePair(port, outputPort));
                    clearDriverError();
                    reportState(QStringLiteral("connected: output %1 <- input %2 (antenna %3)")
                                    .arg(outputPort)
                                    .arg(port)
                                    .arg(selected));
                } else if (errorText.isEmpty()) {
                    reportState(QStringLiteral("connect of input %1 to output %2 refused; tried again every tick")
                                    .arg(port)
                                    .arg(outputPort));
                }
            }
        }
    }

    if (!errorText.isEmpty()) {
        writeDriverError(lastDriverErrorValue, devicePath, errorText);
        reportState(errorText);
    }
}

void AntennaComm::DisconnectAntenna()
{
    if (selfHealing && initialised) {
        // The host wants the receiver without antenna until it selects one
        // again; a manager that is away now is asked once it is back.
        releasedByCommit = true;
        if (connectedInput != 0)
            leftovers.insert(qMakePair(connectedInput, connectedOutput));
        connectedInput = 0;
        if (matrixConnected && !CORBA::is_nil(matrix))
            releaseLeftovers();
        reportState(QStringLiteral("released (CommitData); waiting for the antenna to be selected again"));
        return;
    }
    if (!matrixConnected || !initialised || connectedInput == 0)
        return;
    // `matrix` is nil after a run that found a non-matrix object under the
    // name; that ends like any other failed call.
    if (CORBA::is_nil(matrix)) {
        DRIVER_TRACE(QStringLiteral("Caught Expection in AntennaComm disconnect, OnAntennaChanged"));
        return;
    }
    try {
        matrix->disconnect(connectedInput, outputPort);
    } catch (...) {
        DRIVER_TRACE(QStringLiteral("Caught Expection in AntennaComm disconnect, OnAntennaChanged"));
    }
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

    if (selfHealing) {
        // Kept until the manager has taken them; a newer list replaces it.
        pendingRanges = portRanges;
        rangesPending = true;
    }

    if (CORBA::is_nil(matrix)) {
        DRIVER_TRACE(QStringLiteral("Could not resolve Antenna Matrix Driver @ ") + matrixPath);
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

    try {
        DRIVER_TRACE(QStringLiteral("AntennaComm: trying to set ranges.."));
        // A failed narrowing in the lookup above leaves `matrix` nil; that
        // ends as a failed call.
        if (CORBA::is_nil(matrix)) {
            DRIVER_TRACE(QStringLiteral("AntennaComm: could not set antenna ranges to matrix server"));
            return;
        }
        MatrixManager::PortRangeList_var unused = matrix->setRanges(outputPort, portRanges);
        rangesPending = false;
        DRIVER_TRACE(QStringLiteral("AntennaComm: setting ranges successful"));
    } catch (const MatrixManager::IF_MMR_c::UnknownPortException &e) {
        // The manager answered: sending the list again would not change that.
        rangesPending = false;
        DRIVER_TRACE(QStringLiteral("AntennaComm: Port is unknown, because ") + QString::fromUtf8(e.reason.in()));
    } catch (const MatrixManager::IF_MMR_c::RangesNotSupported &e) {
        rangesPending = false;
        DRIVER_TRACE(
            QStringLiteral("AntennaComm: Ranges are not supported, because ") + QString::fromUtf8(e.reason.in()));
    } catch (...) {
        DRIVER_TRACE(QStringLiteral("AntennaComm: could not set antenna ranges to matrix server"));
    }
}

bool AntennaComm::hardwareRuns() const
{
    return isPX19 || (hardwareStatusValue && hardwareStatusValue->GetStringValue() == QLatin1String("RUNNING"));
}

void AntennaComm::scheduleSwitchingRun()
{
    restartSwitchingTimer(this, pendingTimerId);
}

void AntennaComm::KeepSelectedAntennaConnected()
{
    if (!selfHealing || !initialised)
        return;
    // A hung CCO or matrix manager holds every call for the call timeout.
    // After a tick or a run that stalled the host thread, it gets as long to
    // itself before the next call, so that it is never more than half busy.
    if (stallClock.isValid() && stallClock.elapsed() < stallMs)
        return;
    QElapsedTimer tick;
    tick.start();
    keepSelectedAntennaConnected();
    noteStall(tick.elapsed());
}

void AntennaComm::noteStall(qint64 ms)
{
    stallMs = ms >= stallThresholdMs ? ms : 0;
    stallClock.start();
}

void AntennaComm::keepSelectedAntennaConnected()
{
    findReplacedValues();
    if (!hardwareRuns()) {
        reportState(QStringLiteral("waiting for the receiver hardware (HARDWARESTATUS is not RUNNING)"));
        return;
    }
    // A run that found something else under the manager's name left a nil
    // reference; only a new lookup can mend that.
    if (CORBA::is_nil(matrix))
        matrixConnected = false;
    const bool lookedUpNow = !matrixConnected;
    if (!matrixConnected && !ResolveMatrixManager()) {
        reportState(QStringLiteral("waiting for the matrix manager %1").arg(matrixPath));
        return;
    }
    callTimedOut = false;
    if (reassertSelectedAntenna())
        return;
    if (callTimedOut) {
        // One call timeout per tick is what the host thread can spare; the
        // next tick asks again.
        reportState(QStringLiteral("the matrix manager does not answer (call timed out)"));
        return;
    }
    // The reference led nowhere: a manager restarted since the last lookup
    // is looked up and asked in this same tick. A reference found just now
    // that leads nowhere is a registration without a server; it is not
    // asked twice.
    matrixConnected = false;
    if (lookedUpNow || !ResolveMatrixManager() || !reassertSelectedAntenna()) {
        matrixConnected = false;
        reportState(QStringLiteral("waiting for the matrix manager %1").arg(matrixPath));
    }
}

// Values that the host removed (observers were told with code 2) and created
// again are taken up; a value that is still held is not looked at.
void AntennaComm::findReplacedValues()
{
    values::Tree *tree = values::Tree::Instance();
    if (!tree)
        return;
    if (!antennaValue) {
        antennaValue = isPX19
            ? CreateObservedValue<values::ValueSelection>(devicePath + QStringLiteral("/ANTENNA"), this)
            : FindObservedSelection(devicePath + QStringLiteral("/ANTENNA"), nullptr, this);
        if (antennaValue)
            ReadAntennaNames();
    }
    if (!hardwareStatusValue && !isPX19)
        hardwareStatusValue = FindObservedSelection(devicePath + QStringLiteral("/HARDWARESTATUS"), nullptr, this);
    if (!matrixOutValue) {
        matrixOutValue
            = dynamic_cast<values::Value<int> *>(tree->FindValue(devicePath + QStringLiteral("/ANTENNAS/MatrixOut")));
        if (matrixOutValue) {
            matrixOutValue->AddObserver(this);
            takeOutputPort(portFromText(matrixOutValue->GetStringValue()));
        }
    }
    if (tree->FindNode(devicePath + QStringLiteral("/ANTENNAS")) != antennasNode || antennasNodeMayBeGone)
        ReadAntennaNames();
    if (!lastDriverErrorValue && !isPX19)
        lastDriverErrorValue
            = dynamic_cast<values::Value<QString> *>(tree->FindValue(devicePath + QStringLiteral("/LASTDRIVERERROR")));
}

// The antenna leaves the old output before it is connected to the new one.
void AntennaComm::takeOutputPort(quint16 port)
{
    if (port == outputPort)
        return;
    if (connectedInput != 0)
        leftovers.insert(qMakePair(connectedInput, connectedOutput));
    connectedInput = 0;
    outputPort = port;
    if (matrixConnected)
        scheduleSwitchingRun();
}

// False when the manager did not answer at all.
bool AntennaComm::releaseLeftovers()
{
    const quint16 wanted = antennaValue && !releasedByCommit ? antennaPorts.value(antennaValue->GetStringValue()) : 0;
    const auto pairs = leftovers;
    for (const auto &pair : pairs) {
        if (pair.first == wanted && pair.second == outputPort)
            continue;
        try {
            matrix->disconnect(pair.first, pair.second);
            leftovers.remove(pair);
        } catch (const MatrixManager::IF_MMR_c::NotConnectedException &) {
            leftovers.remove(pair);
        } catch (const MatrixManager::IF_MMR_c::UnknownPortException &) {
            leftovers.remove(pair);
        } catch (const MatrixManager::IF_MMR_c::DisconnectionFailureException &) {
            DRIVER_TRACE(QStringLiteral("AntennaComm: input %1 could not be released from output %2 yet")
                             .arg(pair.first)
                             .arg(pair.second));
        } catch (const CORBA::SystemException &e) {
            DRIVER_TRACE(
                QStringLiteral("AntennaComm: releasing input %1 from output %2: ").arg(pair.first).arg(pair.second)
                + describe(e));
            callTimedOut = !referenceIsDead(e);
            return false;
        } catch (...) {
            DRIVER_TRACE(QStringLiteral("Caught Expection in AntennaComm disconnect, OnAntennaChanged"));
        }
    }
    return true;
}

bool AntennaComm::handOverPendingRanges()
{
    if (!rangesPending)
        return true;
    try {
        DRIVER_TRACE(QStringLiteral("AntennaComm: trying to set ranges.."));
        MatrixManager::PortRangeList_var unused = matrix->setRanges(outputPort, pendingRanges);
        DRIVER_TRACE(QStringLiteral("AntennaComm: setting ranges successful"));
    } catch (const MatrixManager::IF_MMR_c::UnknownPortException &e) {
        DRIVER_TRACE(QStringLiteral("AntennaComm: Port is unknown, because ") + QString::fromUtf8(e.reason.in()));
    } catch (const MatrixManager::IF_MMR_c::RangesNotSupported &e) {
        DRIVER_TRACE(
            QStringLiteral("AntennaComm: Ranges are not supported, because ") + QString::fromUtf8(e.reason.in()));
    } catch (const CORBA::SystemException &e) {
        DRIVER_TRACE(QStringLiteral("AntennaComm: could not set antenna ranges to matrix server: ") + describe(e));
        callTimedOut = !referenceIsDead(e);
        return false;
    } catch (...) {
        DRIVER_TRACE(QStringLiteral("AntennaComm: could not set antenna ranges to matrix server"));
    }
    rangesPending = false;
    pendingRanges.length(0);
    return true;
}

// False when the manager did not answer at all (callTimedOut tells whether it
// may still be there); everything else, refusals included, is this tick's
// answer.
bool AntennaComm::reassertSelectedAntenna()
{
    if (CORBA::is_nil(matrix)) {
        reportState(QLatin1String(matrixManagerNotAvailable));
        return true;
    }
    if (!handOverPendingRanges())
        return false;
    if (releasedByCommit) {
        if (!releaseLeftovers())
            return false;
        reportState(QStringLiteral("released (CommitData); waiting for the antenna to be selected again"));
        return true;
    }
    if (!antennaValue) {
        reportState(QStringLiteral("no antenna selection (ANTENNA missing)"));
        return true;
    }
    const QString selected = antennaValue->GetStringValue();
    const auto found = antennaPorts.constFind(selected);
    if (found == antennaPorts.constEnd()) {
        if (unusableExternalNumbers.contains(selected))
            reportState(unusableNumberText(selected, unusableExternalNumbers.value(selected)));
        else
            reportState(selected.isEmpty() ? QStringLiteral("no antenna selected")
                                           : QStringLiteral("antenna %1 is not in the antenna table").arg(selected));
        return releaseLeftovers();
    }
    const quint16 port = found.value();
    if (connectedInput != 0 && (connectedInput != port || connectedOutput != outputPort)) {
        leftovers.insert(qMakePair(connectedInput, connectedOutput));
        connectedInput = 0;
    }
    if (!releaseLeftovers())
        return false;
    if (port == 0) {
        reportState(
            QStringLiteral("antenna %1 has no matrix input; output %2 left free").arg(selected).arg(outputPort));
        return true;
    }

    try {
        matrix->connect(port, outputPort);
        DRIVER_TRACE(QStringLiteral("AntennaComm: input %1 connected to output %2 again").arg(port).arg(outputPort));
    } catch (const MatrixManager::IF_MMR_c::ConnectedException &) {
        // Already there: the normal answer on a tick.
    } catch (const MatrixManager::IF_MMR_c::UnknownPortException &) {
        DRIVER_TRACE(
            QStringLiteral("AntennaComm::OnAntennaChanged:Exception - MatrixManager::IF_MMR_c::UnknownPortException"));
        reportState(QStringLiteral("connect of input %1 to output %2 failed: unknown port").arg(port).arg(outputPort));
        return true;
    } catch (const MatrixManager::IF_MMR_c::ConnectionFailureException &) {
        DRIVER_TRACE(QStringLiteral(
            "AntennaComm::OnAntennaChanged:Exception - MatrixManager::IF_MMR_c::ConnectionFailureException"));
        reportState(
            QStringLiteral("connect of input %1 to output %2 failed: connection failure").arg(port).arg(outputPort));
        return true;
    } catch (const CORBA::SystemException &e) {
        DRIVER_TRACE(QStringLiteral("Caught Expection in AntennaComm connect, OnAntennaChanged: ") + describe(e));
        writeDriverError(lastDriverErrorValue, devicePath, QLatin1String(exceptionInCallOfMmr));
        reportState(QLatin1String(exceptionInCallOfMmr));
        leftovers.insert(qMakePair(port, outputPort));
        callTimedOut = !referenceIsDead(e);
        return false;
    } catch (...) {
        DRIVER_TRACE(QStringLiteral("Caught Expection in AntennaComm connect, OnAntennaChanged"));
        writeDriverError(lastDriverErrorValue, devicePath, QLatin1String(exceptionInCallOfMmr));
        reportState(QLatin1String(exceptionInCallOfMmr));
        return true;
    }
    connectedInput = port;
    connectedOutput = outputPort;
    leftovers.remove(qMakePair(port, outputPort));
    clearDriverError();
    reportState(
        QStringLiteral("connected: output %1 <- input %2 (antenna %3)").arg(outputPort).arg(port).arg(selected));
    return true;
}

void AntennaComm::clearDriverError()
{
    if (!selfHealing)
        return;
    if (!lastDriverErrorValue && !isPX19 && values::Tree::Instance())
        lastDriverErrorValue = dynamic_cast<values::Value<QString> *>(
            values::Tree::Instance()->FindValue(devicePath + QStringLiteral("/LASTDRIVERERROR")));
    writeDriverError(lastDriverErrorValue, devicePath, QString());
}

void AntennaComm::reportState(const QString &text)
{
    if (!selfHealing || !initialised)
        return;
    // Created on first use and taken from the tree every time, so a host
    // that removes it gets it back with the next news.
    values::Tree *tree = values::Tree::Instance();
    if (!tree)
        return;
    const QString path = devicePath + QLatin1String(matrixStateName);
    // A news line is not worth an exception in the caller: a tree that
    // cannot take the value (a value in its path) goes without it.
    try {
        auto *state = dynamic_cast<values::Value<QString> *>(tree->FindValue(path));
        if (!state && !tree->FindValue(path))
            state = CreateObservedValue<values::Value<QString>>(path, nullptr);
        if (state)
            state->SetValue(text, nullptr);
    } catch (...) {
        DRIVER_TRACE(QStringLiteral("AntennaComm: MATRIXSTATE could not be written"));
    }
}
