// Timing of the registration classes, adjustable for tests and benchmarks so
// that they need not wait out the real seconds. Deliberately not installed
// with the public headers: production callers have no business changing it.
#pragma once

#include <functional>

namespace externalCCODriver
{
class CCORegistration;

namespace tuning
{
// The retry interval in ms of value registration requests created afterwards;
// 0 restores the fixed 3000 ms.
void setRegistrationRetryInterval(int msec);
// Called on a value registration request's thread in start(), once its retry
// timer exists and before the first check, so that a caller can follow the
// request to its end. An empty function removes it; once this returns, the
// previous one is no longer running.
void setRegistrationStartHook(std::function<void(CCORegistration *)> hook);
// The length in ms of what is one second in a locate registration's waits and
// random delay (0 restores 1000). Running objects read it as they sleep.
void setLocateRegistrationSecond(int msec);
}
}
