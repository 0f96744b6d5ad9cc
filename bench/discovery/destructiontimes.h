// How long the discovery classes take to let go while their work is under
// way against a slow or hung cco-server, and what became of that work.
#pragma once

#include <QString>

#include <vector>

namespace testsupport
{
class ServerProcess;
}

namespace discoverybench
{
struct DestructionRow
{
    QString what;
    double ms; // negative: did not end within the row's patience
    QString bound;
    QString outcome;
};

// Runs every case against `server` (which must log its calls, so not
// --quiet), whose reference the process's ORB holds; `callTimeoutMs` is the
// ORB's call timeout.
std::vector<DestructionRow> measureDestructionTimes(testsupport::ServerProcess &server, int callTimeoutMs);
}
