// The library's trace lines as they are written, from any thread, for tests
// that count what the code reported.
#pragma once

#include <errorhandler.h>
#include <tracesettings.h>

#include <QStringList>

#include <algorithm>
#include <mutex>

namespace testsupport
{
class TraceRecorder
{
public:
    explicit TraceRecorder(quint32 mask = ErrorHandler::TraceDriver)
    {
        TraceSettings::SetTraceFilter(mask);
        TraceSettings::SetTraceCapture([this](const QString &line) {
            std::lock_guard<std::mutex> lock(mutex);
            recorded.append(line);
        });
    }
    ~TraceRecorder()
    {
        TraceSettings::SetTraceCapture({});
        TraceSettings::SetTraceFilter(0);
    }
    TraceRecorder(const TraceRecorder &) = delete;
    TraceRecorder &operator=(const TraceRecorder &) = delete;

    int count(const QString &text) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return int(std::count_if(recorded.begin(), recorded.end(), [&](const QString &l) { return l.contains(text); }));
    }
    QStringList lines() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return recorded;
    }

private:
    mutable std::mutex mutex;
    QStringList recorded;
};
}
