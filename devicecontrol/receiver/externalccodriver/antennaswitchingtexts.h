// Texts and conversions that the antenna switching and its self-healing
// companion share, so that both report a failure in the same words.
#pragma once

#include "drivertrace.h"

#include <QString>

#include <omniORB4/CORBA.h>

namespace antennaswitching
{
inline const char commControllerNotResponding[] = "Antenna cannot be changed, CommController not responding!";
inline const char matrixManagerNotAvailable[] = "Antenna cannot be changed, MatrixManager not available!";
inline const char exceptionInCallOfMmr[] = "Antenna cannot be changed, Exception in call of MMR caught!";
inline const char disconnectFailedTrace[] = "Caught Expection in AntennaComm disconnect, OnAntennaChanged";

// Port numbers are 16 bits wide; a text that is no number gives port 0.
inline quint16 portFromText(const QString &text)
{
    return static_cast<quint16>(text.toInt(nullptr, 10));
}

// The exception's name, with the minor code of a system exception.
inline QString describe(const CORBA::Exception &e)
{
    QString text = QString::fromLatin1(e._name());
    if (const auto *system = dynamic_cast<const CORBA::SystemException *>(&e))
        text += QStringLiteral(", minor 0x%1").arg(system->minor(), 0, 16);
    return text;
}
}

// A macro, so that the trace carries the line of the call.
#define TRACE_MATRIX_EXCEPTION(name)                                                                                   \
    DRIVER_TRACE(QStringLiteral("AntennaComm::OnAntennaChanged:Exception - MatrixManager::IF_MMR_c::" name))
