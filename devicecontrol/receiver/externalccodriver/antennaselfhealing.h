// "AntennaSelfHealing": keeps the selected antenna on the receiver's output
// by itself, beyond what the switching runs do on a change.
#pragma once

#include "antennaswitchinghooks.h"

#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>

class AntennaComm;
class ICfg;
class QTimer;

namespace values
{
template <typename T> class Value;
}

// Lives beside one AntennaComm, on its thread, and must go before it. Once
// AntennaComm's start-up has succeeded it ticks every `tickIntervalMs`: values
// the host created anew are taken up, a lost matrix manager is looked up,
// ranges that could not be handed over are sent, and the selected antenna is
// connected again with `connect` (which the manager refuses, harmlessly, when
// the connection is there). While the manager cannot be found a tick makes
// no call but the lookup. What it is doing shows in the text value
// <device path>/MATRIXSTATE, which goes with it.
class AntennaSelfHealing : public QObject, private AntennaSwitchingHooks
{
    Q_OBJECT

public:
    // Null unless the configuration sets "AntennaSelfHealing" to true.
    static AntennaSelfHealing *createIfConfigured(
        ICfg *cfg, AntennaComm &comm, int tickIntervalMs, QObject *parent = nullptr);

    // `tickIntervalMs` 0: no ticks of its own, only those of tick().
    AntennaSelfHealing(AntennaComm &comm, int tickIntervalMs, QObject *parent = nullptr);
    ~AntennaSelfHealing() override;

    void tick();

private:
    void startUpTried(bool matrixFound) override;
    void switchingRunStarting() override;
    void switchingRunEnded() override;
    void matrixLookedUp() override;
    void driverErrorReported(const QString &text) override;
    void antennaNotInTable(const QString &name) override;
    void switched(quint16 input, quint16 output) override;
    void connectRefused(quint16 input, quint16 output, bool alreadyConnected) override;
    void connectReplyLost(quint16 input, quint16 output) override;
    void disconnectFailed(quint16 input, quint16 output) override;
    void antennaReleased(bool answered) override;
    void rangesHandedOver(const MatrixManager::PortRangeList &ranges, bool taken) override;
    void antennaTableRead() override;
    void notified(Observable *subject, unsigned int code) override;

    void tickGuarded();
    void mend();
    void noteStall(qint64 ms);
    void findReplacedValues();
    void takeUpAntennasNode();
    void takeOutputPort(quint16 port);
    void outputMoved();
    bool releaseLeftovers();
    bool reassertSelectedAntenna();
    void claimOutput(quint16 output);
    void replyLost();
    bool handOverPendingRanges();
    void clearDriverError();
    void reportState(const QString &text);
    QString selectedAntenna() const;

    AntennaComm &comm;
    QTimer *ticks = nullptr;
    // The output that comm's connectedInput is connected to.
    quint16 connectedOutput = 0;
    // The output the antenna was last seen to belong on.
    quint16 knownOutput = 0;
    // (input, output) pairs that may be left connected and are no longer
    // wanted: a connect whose reply never came, a failed disconnect, the
    // antenna on an output that MatrixOut moved away from.
    QSet<QPair<quint16, quint16>> leftovers;
    bool outputClaimed = false;
    // CommitData released the antenna; nothing is connected again until the
    // selection is touched.
    bool releasedByCommit = false;
    // The last call of a tick ran into the call timeout.
    bool callTimedOut = false;
    // A call whose reply was lost may still be carried out, after calls
    // made later (a stopped manager runs what it holds in any order once it
    // goes on). Until the manager has answered for this many ticks in a row,
    // every tick releases the receiver's other antennas from its output.
    int ticksInDoubt = 0;
    // How long the last run or tick held the host thread waiting (0: not
    // long), and since when.
    qint64 stallMs = 0;
    QElapsedTimer stallClock;
    QElapsedTimer runClock;
    bool rangesPending = false;
    MatrixManager::PortRangeList pendingRanges;
    // Antennas whose ExternalNumber is no port (outside 0..65535): the text.
    QMap<QString, QString> unusableExternalNumbers;
    // A node reports no release of its own, but MatrixOut, its child, does:
    // once MatrixOut went, the observed ANTENNAS node may have gone with it.
    values::Value<int> *lastSeenMatrixOut = nullptr;
    bool antennasNodeMayBeGone = false;
};
