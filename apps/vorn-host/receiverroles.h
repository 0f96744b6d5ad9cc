// Commands of the receiver mirroring roles: "receiver", "unregister", "mirror".
#pragma once

#include "hostcommands.h"

// Command-line settings of the receiver role; they apply to "receiver"
// commands run afterwards.
struct ReceiverRoleOptions
{
    // Peers may write values below the served device path (SetValue).
    bool peerWrites = false;
    // Longest text a peer may write, in bytes.
    int peerWriteLimit = 4096;
};
void setReceiverRoleOptions(const ReceiverRoleOptions &options);

void addReceiverRoleCommands(HostCommands &commands);
