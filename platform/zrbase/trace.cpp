#include "trace.h"

#include "errorhandler.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

void _Q_Trace(const QString &message, const QString &file, quint16 line)
{
    ErrorHandler::Instance()->WriteTrace(message, file, line);
}

void _Q_TraceOld(const char *format, ...)
{
    if (!format)
        return;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    char small[512];
    const int needed = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    QString message;
    if (needed < 0) {
        message = QString::fromLocal8Bit(format);
    } else if (static_cast<size_t>(needed) < sizeof small) {
        message = QString::fromLocal8Bit(small, needed);
    } else {
        std::vector<char> big(static_cast<size_t>(needed) + 1);
        std::vsnprintf(big.data(), big.size(), format, again);
        message = QString::fromLocal8Bit(big.data(), needed);
    }
    va_end(again);
    ErrorHandler::Instance()->WriteTrace(message, QString(), 0);
}
