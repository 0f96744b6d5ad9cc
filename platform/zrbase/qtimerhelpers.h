#pragma once

#include <functional>

class QTimer;

namespace QTimerHelpers
{
// Starts a one-shot timer on the calling thread that calls `function` once
// after `msec`. The caller makes itself the timer's parent; a fired timer
// stays alive until its parent deletes it.
QTimer *singleShot(int msec, std::function<void()> function);
}
