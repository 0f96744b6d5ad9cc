// The process-wide error and trace handler of the platform.
//
// Threads: the filter and the sink may be read and traced to from any thread;
// they are set by the host (TraceSettings in the host's extras), normally
// before other threads start.
#pragma once

#include <QString>
#include <QtGlobal>

class ErrorHandler
{
public:
    // Trace levels are bits; the driver traces on TraceDriver.
    enum : quint32 { TraceDriver = 0x20, TraceAll = 0xffffffffu };

    // Created on first use with the filter taken from the environment
    // variable VORN_TRACE_MASK ("0x20" or "32"), else 0. Never destroyed, so
    // objects destroyed at exit may still trace.
    static ErrorHandler *Instance();

    virtual ~ErrorHandler();
    // The set of enabled trace levels as bits.
    virtual quint32 GetTraceFilter() const;

protected:
    ErrorHandler();

private:
    // Writes one line "time thread file:line message" to the sink that the
    // host chose (TraceSettings in the host's extras): ISO time with
    // milliseconds, the QThread's objectName or else the thread id, and the
    // file's name without its directory. An empty file leaves out
    // "file:line".
    void WriteTrace(const QString &message, const QString &file, unsigned int line);
    friend void _Q_Trace(const QString &message, const QString &file, quint16 line);
    friend void _Q_TraceOld(const char *format, ...);
};
