#include "qtimerhelpers.h"

#include <QTimer>

QTimer *QTimerHelpers::singleShot(int msec, std::function<void()> function)
{
    auto *timer = new QTimer;
    timer->setSingleShot(true);
    // The timer itself is the context, so the function runs on the thread the
    // timer lives on (the caller's) and never after the timer is deleted.
    QObject::connect(timer, &QTimer::timeout, timer, [function = std::move(function)]() {
        if (function)
            function();
    });
    timer->start(msec);
    return timer;
}
