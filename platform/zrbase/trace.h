// The platform's trace functions. Callers test the filter of
// ErrorHandler::Instance() before tracing; these functions write
// unconditionally.
#pragma once

#include <QString>
#include <QtGlobal>

void _Q_Trace(const QString &message, const QString &file, quint16 line);
// printf-style; the line carries no file:line of its caller.
void _Q_TraceOld(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
