// Waiting for a condition with a deadline instead of sleeping.
#pragma once

#include <QCoreApplication>
#include <QThread>

#include <chrono>
#include <functional>
#include <thread>

namespace testsupport
{
// Polls `condition` every `intervalMs`, processing Qt events meanwhile on the
// application's thread, until it holds or `timeoutMs` has passed; then it is
// asked once more. Returns its last value.
inline bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 5000, int intervalMs = 5)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const bool eventThread = QCoreApplication::instance() && QThread::currentThread() == qApp->thread();
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        if (eventThread)
            QCoreApplication::processEvents(QEventLoop::AllEvents, intervalMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs)); // the poll interval, up to the deadline
    }
    return true;
}
}
