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
#include <QTimerEvent>
#include <exception>
#include <memory>

namespace
{
const int switchingDelayMs = 20;

const char commControllerNotResponding[] = "Antenna cannot be changed, CommController not responding!";
const char matrixManagerNotAvailable[] = "Antenna cannot be changed, MatrixManager not available!";
const char exceptionInCallOfMmr[] = "Antenna cannot be changed, Exception in call of MMR caught!";

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
    // Cleared on every call. Should a notification have found the manager
    // between two calls, the lookup below returns at once and leaves the path
    // empty; the next switching run then fails to resolve it, reports the
    // manager as not responding, and the change after that looks it up anew.
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

    if (isPX19)
        return ResolveMatrixManager();
    // HARDWARESTATUS may have gone away since the first call (code 2); that
    // counts as hardware that does not run.
    if (hardwareStatusValue && hardwareStatusValue->GetStringValue() == QLatin1String("RUNNING"))
        return ResolveMatrixManager();
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
    antennasNode = tree ? tree->FindNode(devicePath + QStringLiteral("/ANTENNAS")) : nullptr;
    if (antennasNode && !antennasNode->HasObserver(this))
        antennasNode->AddObserver(this);

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
            antennaPorts.insert(name, portFromText(number));
            traceVerbatim(name);
            traceVerbatim(number);
        }
    }

    DRIVER_TRACE(QStringLiteral("Antenna Names: finish"));
}

bool AntennaComm::ResolveMatrixManager()
{
    if (matrixConnected)
        return true;

    const QString interfacePart = QStringLiteral("/AntennaMatrixManager%1/IF_MMR_c").arg(matrixId);
    QString host = matrixRemoteHost;
    if (host.isEmpty())
        host = QString::fromStdWString(VornOS::Create().GetComputerName());
    matrixPath = QStringLiteral("CCO/LocalSystem/LocalSubSystem/Workstations/") + host + interfacePart;

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
        // Only the first field that matches acts.
        (void)(letGo(antennaValue) || letGo(hardwareStatusValue) || letGo(driverOccupiedValue)
            || letGo(usingAntennaMatrixValue) || letGo(matrixOutValue));
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
            if (current != antennasNode || (current && !current->HasObserver(this)))
                ReadAntennaNames();

            if (matrixConnected)
                restartSwitchingTimer(this, pendingTimerId);
            else if (isPX19)
                ResolveMatrixManager();
            else if (hardwareStatusValue && hardwareStatusValue->GetStringValue() == QLatin1String("RUNNING"))
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
        return;
    }

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
        const auto found = antennaPorts.constFind(antennaValue->GetStringValue());
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
                }
            }

            if (port == 0) {
                // The antenna has no matrix input: the receiver is left
                // without one.
                connectedInput = 0;
            } else {
                if (DRIVER_TRACE_ENABLED())
                    _Q_TraceOld("Call Connect Antenna with slots: %d in %d out", static_cast<int>(port),
                        static_cast<int>(outputPort));
                try {
                    matrix->connect(port, outputPort);
                    connectedInput = port;
                } catch (const MatrixManager::IF_MMR_c::UnknownPortException &) {
                    DRIVER_TRACE(QStringLiteral(
                        "AntennaComm::OnAntennaChanged:Exception - MatrixManager::IF_MMR_c::UnknownPortException"));
                } catch (const MatrixManager::IF_MMR_c::ConnectionFailureException &) {
                    DRIVER_TRACE(QStringLiteral("AntennaComm::OnAntennaChanged:Exception - "
                                                "MatrixManager::IF_MMR_c::ConnectionFailureException"));
                } catch (const MatrixManager::IF_MMR_c::ConnectedException &) {
                    DRIVER_TRACE(QStringLiteral(
                        "AntennaComm::OnAntennaChanged:Exception - MatrixManager::IF_MMR_c::ConnectedException"));
                } catch (...) {
                    DRIVER_TRACE(QStringLiteral("Caught Expection in AntennaComm connect, OnAntennaChanged"));
                    errorText = QLatin1String(exceptionInCallOfMmr);
                }
            }
        }
    }

    if (!errorText.isEmpty())
        writeDriverError(lastDriverErrorValue, devicePath, errorText);
}

void AntennaComm::DisconnectAntenna()
{
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
        DRIVER_TRACE(QStringLiteral("AntennaComm: setting ranges successful"));
    } catch (const MatrixManager::IF_MMR_c::UnknownPortException &e) {
        DRIVER_TRACE(QStringLiteral("AntennaComm: Port is unknown, because ") + QString::fromUtf8(e.reason.in()));
    } catch (const MatrixManager::IF_MMR_c::RangesNotSupported &e) {
        DRIVER_TRACE(
            QStringLiteral("AntennaComm: Ranges are not supported, because ") + QString::fromUtf8(e.reason.in()));
    } catch (...) {
        DRIVER_TRACE(QStringLiteral("AntennaComm: could not set antenna ranges to matrix server"));
    }
}
