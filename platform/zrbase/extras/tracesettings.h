// Host side of the error handler: where traces go and which levels pass. The
// driver plug-in is built without this folder on its include path: it only
// asks the filter and traces.
//
// Threads: callable from any thread; a host sets these normally before other
// threads start.
#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>

struct TraceSettings
{
    // The set of enabled trace levels as bits (ErrorHandler::TraceDriver...).
    static void SetTraceFilter(quint32 mask);
    // An empty path means stderr. The file is appended to. Returns false (and
    // keeps the previous sink) when the file cannot be opened.
    static bool SetTraceFile(const QString &path);
    // Every formatted trace line also goes to the capture function when one is
    // set (tests use it); pass an empty function to remove it. The function is
    // called under the sink's lock: once this returns, the previous function
    // is no longer running.
    static void SetTraceCapture(std::function<void(const QString &line)> capture);
};
