// Commands of the receiver mirroring roles: "receiver", "unregister", "mirror".
#pragma once

#include "hostcommands.h"

void addReceiverRoleCommands(HostCommands &commands);
