#include "antennaselfhealing.h"

#include "antennacomm.h"
#include "antennaswitchingtexts.h"
#include "antennavaluelookup.h"
#include "drivertrace.h"
#include "icfg.h"
#include "node.h"
#include "tree.h"
#include "value.h"
#include "valueselection.h"
#include "zrexception.h"

#include <QTimer>

#include <exception>

using namespace antennaswitching;

namespace
{
const char matrixStateName[] = "/MATRIXSTATE";
// A run or tick that took this long waited for a server that did not answer.
const qint64 stallThresholdMs = 200;
// Ticks in a row with every call answered after which a lost reply can no
// longer be carried out late.
const int ticksUntilRepliesAreTrusted = 3;

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

QString waitingForManager(const QString &matrixPath)
{
    return QStringLiteral("waiting for the matrix manager %1").arg(matrixPath);
}

const QString waitingForHardware = QStringLiteral("waiting for the receiver hardware (HARDWARESTATUS is not RUNNING)");
const QString releasedByCommitText
    = QStringLiteral("released (CommitData); waiting for the antenna to be selected again");
}

AntennaSelfHealing *AntennaSelfHealing::createIfConfigured(
    ICfg *cfg, AntennaComm &comm, int tickIntervalMs, QObject *parent)
{
    if (!cfg || !cfg->ReadBool(QStringLiteral("AntennaSelfHealing"), false, false))
        return nullptr;
    return new AntennaSelfHealing(comm, tickIntervalMs, parent);
}

AntennaSelfHealing::AntennaSelfHealing(AntennaComm &antennaComm, int tickIntervalMs, QObject *parent)
    : QObject(parent)
    , comm(antennaComm)
{
    if (tickIntervalMs > 0) {
        ticks = new QTimer(this);
        ticks->setTimerType(Qt::CoarseTimer);
        ticks->setInterval(tickIntervalMs);
        connect(ticks, &QTimer::timeout, this, &AntennaSelfHealing::tickGuarded);
    }
    comm.setSwitchingHooks(this);
}

AntennaSelfHealing::~AntennaSelfHealing()
{
    comm.setSwitchingHooks(nullptr);
    // Describes this object's work, so it goes with it.
    if (comm.initialised && values::Tree::Instance())
        values::Tree::Instance()->RemoveValue(comm.devicePath + QLatin1String(matrixStateName));
}

// A value's observers may throw; nothing of that may reach the event loop.
void AntennaSelfHealing::tickGuarded()
{
    try {
        tick();
    } catch (const ZRException &e) {
        DRIVER_TRACE(QStringLiteral("AntennaSelfHealing: tick failed: ") + e.Message());
    } catch (const std::exception &e) {
        DRIVER_TRACE(QStringLiteral("AntennaSelfHealing: tick failed: ") + QString::fromLocal8Bit(e.what()));
    } catch (...) {
        DRIVER_TRACE(QStringLiteral("AntennaSelfHealing: tick failed"));
    }
}

void AntennaSelfHealing::tick()
{
    if (!comm.initialised)
        return;
    // A hung CCO or matrix manager holds every call for the call timeout.
    // After a tick or a run that stalled the host thread, it gets as long to
    // itself before the next call, so that it is never more than half busy.
    if (stallClock.isValid() && stallClock.elapsed() < stallMs)
        return;
    QElapsedTimer tick;
    tick.start();
    mend();
    noteStall(tick.elapsed());
}

void AntennaSelfHealing::noteStall(qint64 ms)
{
    stallMs = ms >= stallThresholdMs ? ms : 0;
    stallClock.start();
}

void AntennaSelfHealing::mend()
{
    findReplacedValues();
    if (!comm.hardwareRuns()) {
        reportState(waitingForHardware);
        return;
    }
    // A run that found something else under the manager's name left a nil
    // reference; only a new lookup can mend that.
    if (CORBA::is_nil(comm.matrix))
        comm.matrixConnected = false;
    const bool lookedUpNow = !comm.matrixConnected;
    if (!comm.matrixConnected && !comm.ResolveMatrixManager()) {
        reportState(waitingForManager(comm.matrixPath));
        return;
    }
    callTimedOut = false;
    // A tick that returns true had every call answered: each lost reply
    // ends it with false.
    if (reassertSelectedAntenna()) {
        if (ticksInDoubt > 0)
            --ticksInDoubt;
        return;
    }
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
    comm.matrixConnected = false;
    if (lookedUpNow || !comm.ResolveMatrixManager() || !reassertSelectedAntenna()) {
        comm.matrixConnected = false;
        reportState(waitingForManager(comm.matrixPath));
    }
}

// Values that the host removed (observers were told with code 2) and created
// again are taken up; a value that is still held is not looked at.
void AntennaSelfHealing::findReplacedValues()
{
    values::Tree *tree = values::Tree::Instance();
    if (!tree)
        return;
    const QString &devicePath = comm.devicePath;
    if (!comm.antennaValue) {
        comm.antennaValue = comm.isPX19
            ? CreateObservedValue<values::ValueSelection>(devicePath + QStringLiteral("/ANTENNA"), &comm)
            : FindObservedSelection(devicePath + QStringLiteral("/ANTENNA"), nullptr, &comm);
        if (comm.antennaValue)
            comm.ReadAntennaNames();
    }
    if (!comm.hardwareStatusValue && !comm.isPX19)
        comm.hardwareStatusValue
            = FindObservedSelection(devicePath + QStringLiteral("/HARDWARESTATUS"), nullptr, &comm);
    if (!comm.matrixOutValue) {
        comm.matrixOutValue
            = dynamic_cast<values::Value<int> *>(tree->FindValue(devicePath + QStringLiteral("/ANTENNAS/MatrixOut")));
        lastSeenMatrixOut = comm.matrixOutValue;
        if (comm.matrixOutValue) {
            comm.matrixOutValue->AddObserver(&comm);
            takeOutputPort(portFromText(comm.matrixOutValue->GetStringValue()));
        }
    }
    if (tree->FindNode(devicePath + QStringLiteral("/ANTENNAS")) != comm.antennasNode || antennasNodeMayBeGone)
        takeUpAntennasNode();
    if (!comm.lastDriverErrorValue && !comm.isPX19)
        comm.lastDriverErrorValue
            = dynamic_cast<values::Value<QString> *>(tree->FindValue(devicePath + QStringLiteral("/LASTDRIVERERROR")));
}

// A node gives no notice when it is destroyed, so the one in the tree now is
// observed and read, possibly a new node at the old one's address: it is left
// observed exactly once.
void AntennaSelfHealing::takeUpAntennasNode()
{
    values::Node *found = values::Tree::Instance()->FindNode(comm.devicePath + QStringLiteral("/ANTENNAS"));
    if (found) {
        found->DeleteObserver(&comm);
        found->AddObserver(&comm);
    }
    comm.antennasNode = found;
    antennasNodeMayBeGone = false;
    comm.ReadAntennaNames();
}

// The antenna leaves the old output before it is connected to the new one.
void AntennaSelfHealing::takeOutputPort(quint16 port)
{
    if (port == comm.outputPort)
        return;
    comm.outputPort = port;
    outputMoved();
}

void AntennaSelfHealing::outputMoved()
{
    if (comm.outputPort == knownOutput)
        return;
    knownOutput = comm.outputPort;
    if (comm.connectedInput != 0)
        leftovers.insert(qMakePair(comm.connectedInput, connectedOutput));
    comm.connectedInput = 0;
    claimOutput(comm.outputPort);
    if (comm.matrixConnected)
        comm.scheduleSwitchingRun();
}

// The matrix outlives the workstation: an output this process has not used
// yet may still carry one of the receiver's antennas from before its restart,
// which no connect would replace (the manager refuses a taken output). Every
// antenna but the one wanted is released from it before the first connect.
void AntennaSelfHealing::claimOutput(quint16 output)
{
    if (output == 0)
        return;
    for (const quint16 input : qAsConst(comm.antennaPorts)) {
        if (input != 0)
            leftovers.insert(qMakePair(input, output));
    }
}

void AntennaSelfHealing::replyLost()
{
    ticksInDoubt = ticksUntilRepliesAreTrusted;
}

QString AntennaSelfHealing::selectedAntenna() const
{
    return comm.antennaValue ? comm.antennaValue->GetStringValue() : QString();
}

// False when the manager did not answer at all.
bool AntennaSelfHealing::releaseLeftovers()
{
    const quint16 wanted = comm.antennaValue && !releasedByCommit ? comm.antennaPorts.value(selectedAntenna()) : 0;
    const auto pairs = leftovers;
    for (const auto &pair : pairs) {
        if (pair.first == wanted && pair.second == comm.outputPort)
            continue;
        try {
            comm.matrix->disconnect(pair.first, pair.second);
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
            replyLost();
            callTimedOut = !referenceIsDead(e);
            return false;
        } catch (...) {
            DRIVER_TRACE(QLatin1String(disconnectFailedTrace));
        }
    }
    return true;
}

bool AntennaSelfHealing::handOverPendingRanges()
{
    if (!rangesPending)
        return true;
    try {
        DRIVER_TRACE(QStringLiteral("AntennaComm: trying to set ranges.."));
        MatrixManager::PortRangeList_var unused = comm.matrix->setRanges(comm.outputPort, pendingRanges);
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
bool AntennaSelfHealing::reassertSelectedAntenna()
{
#ifdef ECD_PLANTED_FAULT_SKIP_REASSERT
    // Built only with -DECD_PLANTED_FAULT=skip-reassert: the tick believes the
    // antenna is in place, so a connection lost to a matrix restart stays
    // lost. The fault campaign must catch this.
    return true;
#endif
    if (CORBA::is_nil(comm.matrix)) {
        reportState(QLatin1String(matrixManagerNotAvailable));
        return true;
    }
    if (!handOverPendingRanges())
        return false;
    if (ticksInDoubt > 0)
        claimOutput(comm.outputPort);
    if (releasedByCommit) {
        if (!releaseLeftovers())
            return false;
        reportState(releasedByCommitText);
        return true;
    }
    if (!comm.antennaValue) {
        reportState(QStringLiteral("no antenna selection (ANTENNA missing)"));
        return true;
    }
    const QString selected = selectedAntenna();
    const auto found = comm.antennaPorts.constFind(selected);
    if (found == comm.antennaPorts.constEnd()) {
        if (unusableExternalNumbers.contains(selected))
            reportState(unusableNumberText(selected, unusableExternalNumbers.value(selected)));
        else
            reportState(selected.isEmpty() ? QStringLiteral("no antenna selected")
                                           : QStringLiteral("antenna %1 is not in the antenna table").arg(selected));
        return releaseLeftovers();
    }
    const quint16 port = found.value();
    const quint16 output = comm.outputPort;
    if (comm.connectedInput != 0 && (comm.connectedInput != port || connectedOutput != output)) {
        leftovers.insert(qMakePair(comm.connectedInput, connectedOutput));
        comm.connectedInput = 0;
    }
    if (!releaseLeftovers())
        return false;
    if (port == 0) {
        reportState(QStringLiteral("antenna %1 has no matrix input; output %2 left free").arg(selected).arg(output));
        return true;
    }

    try {
        comm.matrix->connect(port, output);
        DRIVER_TRACE(QStringLiteral("AntennaComm: input %1 connected to output %2 again").arg(port).arg(output));
    } catch (const MatrixManager::IF_MMR_c::ConnectedException &) {
        // Already there: the normal answer on a tick.
    } catch (const MatrixManager::IF_MMR_c::UnknownPortException &) {
        TRACE_MATRIX_EXCEPTION("UnknownPortException");
        reportState(QStringLiteral("connect of input %1 to output %2 failed: unknown port").arg(port).arg(output));
        return true;
    } catch (const MatrixManager::IF_MMR_c::ConnectionFailureException &) {
        TRACE_MATRIX_EXCEPTION("ConnectionFailureException");
        reportState(
            QStringLiteral("connect of input %1 to output %2 failed: connection failure").arg(port).arg(output));
        return true;
    } catch (const CORBA::SystemException &e) {
        DRIVER_TRACE(QStringLiteral("Caught Expection in AntennaComm connect, OnAntennaChanged: ") + describe(e));
        comm.writeDriverError(QLatin1String(exceptionInCallOfMmr));
        reportState(QLatin1String(exceptionInCallOfMmr));
        leftovers.insert(qMakePair(port, output));
        replyLost();
        callTimedOut = !referenceIsDead(e);
        return false;
    } catch (...) {
        DRIVER_TRACE(QStringLiteral("Caught Expection in AntennaComm connect, OnAntennaChanged"));
        comm.writeDriverError(QLatin1String(exceptionInCallOfMmr));
        reportState(QLatin1String(exceptionInCallOfMmr));
        return true;
    }
    comm.connectedInput = port;
    switched(port, output);
    return true;
}

void AntennaSelfHealing::clearDriverError()
{
    if (!comm.lastDriverErrorValue && !comm.isPX19 && values::Tree::Instance())
        comm.lastDriverErrorValue = dynamic_cast<values::Value<QString> *>(
            values::Tree::Instance()->FindValue(comm.devicePath + QStringLiteral("/LASTDRIVERERROR")));
    comm.writeDriverError(QString());
}

void AntennaSelfHealing::reportState(const QString &text)
{
    if (!comm.initialised)
        return;
    // Created on first use and taken from the tree every time, so a host
    // that removes it gets it back with the next news.
    values::Tree *tree = values::Tree::Instance();
    if (!tree)
        return;
    const QString path = comm.devicePath + QLatin1String(matrixStateName);
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

void AntennaSelfHealing::startUpTried(bool matrixFound)
{
    lastSeenMatrixOut = comm.matrixOutValue;
    knownOutput = comm.outputPort;
    // init forgets the manager's name on every call; a manager that a
    // notification found between two calls is not looked up again, and the
    // switching runs need its name.
    if (comm.matrixPath.isEmpty())
        comm.matrixPath = comm.matrixName();
    if (!matrixFound) {
        reportState(waitingForManager(comm.matrixPath));
        return;
    }
    if (!outputClaimed) {
        outputClaimed = true;
        claimOutput(comm.outputPort);
    }
    if (!comm.hardwareRuns())
        reportState(waitingForHardware);
    if (ticks && !ticks->isActive()) {
        ticks->start();
        // The manager was found just now: the antenna is connected on it
        // too, not one tick later.
        QTimer::singleShot(0, this, &AntennaSelfHealing::tickGuarded);
    }
}

void AntennaSelfHealing::switchingRunStarting()
{
    runClock.start();
}

void AntennaSelfHealing::switchingRunEnded()
{
    noteStall(runClock.elapsed());
}

// What an earlier run or another output left behind goes first, so that the
// matrix has room for the new connection.
void AntennaSelfHealing::matrixLookedUp()
{
    if (comm.initialised)
        releaseLeftovers();
}

void AntennaSelfHealing::driverErrorReported(const QString &text)
{
    reportState(text);
}

// An input number that is no port is an error, not another antenna's input.
void AntennaSelfHealing::antennaNotInTable(const QString &name)
{
    if (!unusableExternalNumbers.contains(name))
        return;
    const QString text = unusableNumberText(name, unusableExternalNumbers.value(name));
    comm.writeDriverError(text);
    reportState(text);
}

void AntennaSelfHealing::switched(quint16 input, quint16 output)
{
    clearDriverError();
    if (input == 0) {
        reportState(
            QStringLiteral("antenna %1 has no matrix input; output %2 left free").arg(selectedAntenna()).arg(output));
        return;
    }
    connectedOutput = output;
    leftovers.remove(qMakePair(input, output));
    reportState(
        QStringLiteral("connected: output %1 <- input %2 (antenna %3)").arg(output).arg(input).arg(selectedAntenna()));
}

// Leftovers on this output are released before every connect, so a refusal
// because the output is taken means that the connection wanted is there.
void AntennaSelfHealing::connectRefused(quint16 input, quint16 output, bool alreadyConnected)
{
    if (alreadyConnected) {
        comm.connectedInput = input;
        switched(input, output);
        return;
    }
    reportState(
        QStringLiteral("connect of input %1 to output %2 refused; tried again every tick").arg(input).arg(output));
}

// The reply never came; the matrix may still carry it out.
void AntennaSelfHealing::connectReplyLost(quint16 input, quint16 output)
{
    leftovers.insert(qMakePair(input, output));
    replyLost();
}

// Whether it went through is unknown: released later.
void AntennaSelfHealing::disconnectFailed(quint16 input, quint16 output)
{
    leftovers.insert(qMakePair(input, output));
    replyLost();
}

// The host wants the receiver without antenna until it selects one again; a
// manager that is away now is asked once it is back.
void AntennaSelfHealing::antennaReleased(bool answered)
{
    if (!comm.initialised)
        return;
    releasedByCommit = true;
    if (comm.connectedInput != 0 && !answered) {
        leftovers.insert(qMakePair(comm.connectedInput, connectedOutput));
        replyLost();
    }
    comm.connectedInput = 0;
    if (comm.matrixConnected && !CORBA::is_nil(comm.matrix))
        releaseLeftovers();
    reportState(releasedByCommitText);
}

// Kept until the manager has taken them; a newer list replaces them.
void AntennaSelfHealing::rangesHandedOver(const MatrixManager::PortRangeList &ranges, bool taken)
{
    rangesPending = !taken;
    if (taken)
        pendingRanges.length(0);
    else
        pendingRanges = ranges;
}

// Without self-healing the low 16 bits of an ExternalNumber count, as for
// every port; here a number outside 0..65535 is kept out of the table and
// reported instead. 0 still means "no matrix input".
void AntennaSelfHealing::antennaTableRead()
{
    unusableExternalNumbers.clear();
    if (!comm.antennasNode)
        return;
    values::Tree *tree = values::Tree::Instance();
    const QString nodePath = comm.antennasNode->GetPath();
    for (auto it = comm.antennaPorts.begin(); it != comm.antennaPorts.end();) {
        values::Node *antennaNode = tree->FindNode(nodePath + QLatin1Char('/') + it.key());
        values::ValueBase *externalNumber
            = antennaNode ? antennaNode->GetChildValue(QStringLiteral("ExternalNumber")) : nullptr;
        const QString number = externalNumber ? externalNumber->GetStringValue() : QString();
        bool isNumber = false;
        const int value = number.toInt(&isNumber, 10);
        if (isNumber && value >= 0 && value <= 65535) {
            ++it;
            continue;
        }
        unusableExternalNumbers.insert(it.key(), number);
        DRIVER_TRACE(unusableNumberText(it.key(), number));
        it = comm.antennaPorts.erase(it);
    }
}

void AntennaSelfHealing::notified(Observable *subject, unsigned int code)
{
    if (code == 2 && lastSeenMatrixOut && subject == lastSeenMatrixOut && !comm.matrixOutValue)
        antennasNodeMayBeGone = true;
    lastSeenMatrixOut = comm.matrixOutValue;

    if (code == 3 && comm.antennaValue && subject == comm.antennaValue) {
        releasedByCommit = false;
        // A missing or replaced ANTENNAS node is looked for again here, so
        // the antenna table catches up no later than the change that needs
        // it.
        values::Tree *tree = values::Tree::Instance();
        if (tree
            && (tree->FindNode(comm.devicePath + QStringLiteral("/ANTENNAS")) != comm.antennasNode
                || antennasNodeMayBeGone))
            takeUpAntennasNode();
        // Found just now: this change is switched rather than the next one.
        if (comm.matrixConnected && comm.pendingTimerId == -1)
            comm.scheduleSwitchingRun();
    } else if (code == 3 && comm.hardwareStatusValue && subject == comm.hardwareStatusValue) {
        if (comm.hardwareStatusValue->GetStringValue() == QLatin1String("RUNNING") && comm.matrixConnected)
            comm.scheduleSwitchingRun();
    } else if (code == 3 && comm.matrixOutValue && subject == comm.matrixOutValue) {
        outputMoved();
    } else if (code == 19 && comm.usingAntennaMatrixValue && subject == comm.usingAntennaMatrixValue) {
        releasedByCommit = false;
    }
}
