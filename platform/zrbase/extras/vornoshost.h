// Host side of the operating-system facade.
#pragma once

#include <string>

namespace VornOSHost
{
// Lets a host (or a test) pretend to be another workstation; an empty name
// returns to the real host name. Thread-safe.
void SetComputerNameOverride(const std::wstring &name);
}
