#include "errorhandler.h"

#include "tracesettings.h"

#include <QDateTime>
#include <QFile>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <mutex>

namespace
{
// The handler's state lives here rather than in the class, so the header
// stays free of members; there is one handler per process anyway.
struct TraceState
{
    std::atomic<quint32> filter{0};
    // Recursive so that a capture function may trace without deadlocking.
    std::recursive_mutex mutex;
    FILE *file = nullptr; // null: stderr
    std::function<void(const QString &)> capture;
};

TraceState &state()
{
    // Never destroyed: objects destroyed at exit may still trace.
    static auto *s = new TraceState;
    return *s;
}

// "0x20" and "ff" are hexadecimal, "32" is decimal; anything else is 0.
quint32 parseMask(const QByteArray &text)
{
    const QByteArray trimmed = text.trimmed();
    bool ok = false;
    quint32 mask = 0;
    if (trimmed.startsWith("0x") || trimmed.startsWith("0X"))
        mask = trimmed.mid(2).toUInt(&ok, 16);
    else {
        mask = trimmed.toUInt(&ok, 10);
        if (!ok)
            mask = trimmed.toUInt(&ok, 16);
    }
    return ok ? mask : 0;
}

QString threadName()
{
    QThread *thread = QThread::currentThread();
    if (thread && !thread->objectName().isEmpty())
        return thread->objectName();
    return QStringLiteral("0x") + QString::number(reinterpret_cast<quintptr>(QThread::currentThreadId()), 16);
}

QString baseName(const QString &file)
{
    const int slash = qMax(file.lastIndexOf(QLatin1Char('/')), file.lastIndexOf(QLatin1Char('\\')));
    return slash < 0 ? file : file.mid(slash + 1);
}
}

ErrorHandler *ErrorHandler::Instance()
{
    static ErrorHandler *instance = [] {
        auto *handler = new ErrorHandler;
        if (qEnvironmentVariableIsSet("VORN_TRACE_MASK"))
            state().filter.store(parseMask(qgetenv("VORN_TRACE_MASK")), std::memory_order_relaxed);
        return handler;
    }();
    return instance;
}

ErrorHandler::ErrorHandler() = default;

ErrorHandler::~ErrorHandler() = default;

quint32 ErrorHandler::GetTraceFilter() const
{
    return state().filter.load(std::memory_order_relaxed);
}

void TraceSettings::SetTraceFilter(quint32 mask)
{
    // The handler takes its first filter from the environment as it is
    // created; made now, it cannot override this one later.
    ErrorHandler::Instance();
    state().filter.store(mask, std::memory_order_relaxed);
}

bool TraceSettings::SetTraceFile(const QString &path)
{
    TraceState &s = state();
    FILE *opened = nullptr;
    if (!path.isEmpty()) {
        opened = std::fopen(QFile::encodeName(path).constData(), "a");
        if (!opened)
            return false;
    }
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    if (s.file)
        std::fclose(s.file);
    s.file = opened;
    return true;
}

void TraceSettings::SetTraceCapture(std::function<void(const QString &line)> capture)
{
    TraceState &s = state();
    // Taking the lock means that once this returns, the old capture function
    // is not running any more and will not be called again.
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    s.capture = std::move(capture);
}

void ErrorHandler::WriteTrace(const QString &message, const QString &file, unsigned int line)
{
    TraceState &s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    // Formatted under the lock too: local time goes through the C library's
    // time-zone state, which is not safe to reach from several threads.
    QString text = QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
    text += QLatin1Char(' ');
    text += threadName();
    if (!file.isEmpty()) {
        text += QLatin1Char(' ');
        text += baseName(file);
        text += QLatin1Char(':');
        text += QString::number(line);
    }
    text += QLatin1Char(' ');
    text += message;
    const QByteArray bytes = text.toLocal8Bit() + '\n';
    FILE *out = s.file ? s.file : stderr;
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), out);
    std::fflush(out);
    if (s.capture)
        s.capture(text);
}
