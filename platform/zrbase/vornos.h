// Operating-system facade of the platform.
#pragma once

#include <string>

class IVornOS
{
public:
    virtual ~IVornOS() = default;
    // The local workstation name.
    virtual std::wstring GetComputerName() const = 0;
};

class VornOS
{
public:
    // The process-wide facade.
    static IVornOS &Create();
    // Lets a host (or a test) pretend to be another workstation; an empty
    // name returns to the real host name. Thread-safe.
    static void SetComputerNameOverride(const std::wstring &name);
};
