// Waiting for a condition with a deadline instead of sleeping.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <functional>

namespace testsupport
{
// Polls `condition` every `intervalMs` until it holds (true) or `timeoutMs`
// passed (false), processing Qt events meanwhile on the application's thread.
inline bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 5000, int intervalMs = 5)
{
    const QDeadlineTimer deadline(timeoutMs);
    const bool eventThread = QCoreApplication::instance() && QThread::currentThread() == qApp->thread();
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        if (eventThread)
            QCoreApplication::processEvents(QEventLoop::AllEvents, intervalMs);
        QThread::msleep(unsigned(intervalMs));
    }
    return true;
}
}
