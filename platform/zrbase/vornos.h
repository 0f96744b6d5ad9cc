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
};
