#include "waituntil.h"

#include <QCoreApplication>
#include <QThread>

#include <chrono>
#include <thread>

namespace testsupport
{
bool waitUntil(const std::function<bool()> &condition, int timeoutMs, int intervalMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const bool eventThread = QCoreApplication::instance() && QThread::currentThread() == qApp->thread();
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        if (eventThread)
            QCoreApplication::processEvents(QEventLoop::AllEvents, intervalMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
    }
}
}
