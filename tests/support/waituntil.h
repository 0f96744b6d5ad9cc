// Waiting for a condition with a deadline instead of sleeping.
#pragma once

#include <functional>

namespace testsupport
{
// Polls `condition` every few milliseconds, processing Qt events in
// between when a QCoreApplication exists, until it holds or `timeoutMs`
// has passed. Returns the condition's last value.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 5000, int intervalMs = 5);
}
