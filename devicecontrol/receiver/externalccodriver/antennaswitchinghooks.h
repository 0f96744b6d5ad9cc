// What the antenna switching tells an optional companion that keeps the
// matrix in line with the selection beyond the switching runs themselves.
#pragma once

#include <QtGlobal>

#include <matrixmanager.hh>

class Observable;
class QString;

// Every operation is called on the driver's thread, from inside AntennaComm,
// after AntennaComm has done its own part of the step named; the defaults do
// nothing. An implementation may call back into AntennaComm but must not
// delete it.
class AntennaSwitchingHooks
{
public:
    virtual ~AntennaSwitchingHooks() = default;

    // init got as far as the matrix lookup (or found the hardware not
    // running, which counts as found): its result.
    virtual void startUpTried(bool matrixFound) { Q_UNUSED(matrixFound) }
    // Around every switching run that the 20 ms timer starts.
    virtual void switchingRunStarting() { }
    virtual void switchingRunEnded() { }
    // The run found the matrix manager and is about to switch.
    virtual void matrixLookedUp() { }
    // The run reports a failure in LASTDRIVERERROR (also when that value is
    // missing and nothing could be written).
    virtual void driverErrorReported(const QString &text) { Q_UNUSED(text) }
    // The selected antenna has no entry in the antenna table.
    virtual void antennaNotInTable(const QString &name) { Q_UNUSED(name) }
    // `input` is on `output` now; input 0: the antenna has no matrix input and
    // the output was left free.
    virtual void switched(quint16 input, quint16 output)
    {
        Q_UNUSED(input)
        Q_UNUSED(output)
    }
    // The manager refused the connect; `alreadyConnected` when it said that
    // the output carries an input already.
    virtual void connectRefused(quint16 input, quint16 output, bool alreadyConnected)
    {
        Q_UNUSED(input)
        Q_UNUSED(output)
        Q_UNUSED(alreadyConnected)
    }
    // The connect ended without an answer: the matrix may still carry it out.
    virtual void connectReplyLost(quint16 input, quint16 output)
    {
        Q_UNUSED(input)
        Q_UNUSED(output)
    }
    // A disconnect ended without an answer, so whether it happened is unknown.
    virtual void disconnectFailed(quint16 input, quint16 output)
    {
        Q_UNUSED(input)
        Q_UNUSED(output)
    }
    // DisconnectAntenna ran; `answered` when a disconnect was sent and the
    // manager carried it out.
    virtual void antennaReleased(bool answered) { Q_UNUSED(answered) }
    // SetRangesToAntennaMatrix built `ranges`; `taken` when the manager
    // answered them (accepted or refused with its reason).
    virtual void rangesHandedOver(const MatrixManager::PortRangeList &ranges, bool taken)
    {
        Q_UNUSED(ranges)
        Q_UNUSED(taken)
    }
    // The antenna table was read again from ANTENNAS.
    virtual void antennaTableRead() { }
    // A notification of an observed value or node has been handled.
    virtual void notified(Observable *subject, unsigned int code)
    {
        Q_UNUSED(subject)
        Q_UNUSED(code)
    }
};
