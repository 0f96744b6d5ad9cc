// The process-wide error and trace handler of the platform.
//
// Threads: the filter and the sink may be read and traced to from any thread;
// they are set by the host, normally before other threads start.
#pragma once

#include <QString>
#include <QtGlobal>
#include <functional>

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

    void SetTraceFilter(quint32 mask);
    // An empty path means stderr. The file is appended to. Returns false (and
    // keeps the previous sink) when the file cannot be opened.
    bool SetTraceFile(const QString &path);
    // Every formatted trace line also goes to the capture function when one is
    // set (tests use it); pass an empty function to remove it. The function is
    // called under the sink's lock: once this returns, the previous function
    // is no longer running.
    void SetTraceCapture(std::function<void(const QString &line)> capture);

    // Writes one line "time thread file:line message" to the sink: ISO time
    // with milliseconds, the QThread's objectName or else the thread id, and
    // the file's name without its directory. An empty file leaves out
    // "file:line".
    void WriteTrace(const QString &message, const QString &file, unsigned int line);

protected:
    ErrorHandler();
};
