// Traces of the driver: made only when the host's trace filter lets level
// 0x20 pass, with the file and line of the call.
#pragma once

#include "errorhandler.h"
#include "trace.h"

#include <QString>

#define DRIVER_TRACE_ENABLED() ((ErrorHandler::Instance()->GetTraceFilter() & 0x20u) != 0)

#define DRIVER_TRACE(message)                                                                  \
    do {                                                                                       \
        if (DRIVER_TRACE_ENABLED())                                                            \
            _Q_Trace(QString(message), QStringLiteral(__FILE__), static_cast<quint16>(__LINE__)); \
    } while (0)
