#include "vornos.h"

#include "vornoshost.h"

#include <QString>
#include <QSysInfo>

#include <mutex>

namespace
{
std::mutex overrideMutex;
// Heap objects that are never freed, so that a trace during static destruction
// can still ask for the name.
std::wstring &overrideName()
{
    static auto *name = new std::wstring;
    return *name;
}

class LocalVornOS : public IVornOS
{
public:
    std::wstring GetComputerName() const override
    {
        {
            std::lock_guard<std::mutex> lock(overrideMutex);
            if (!overrideName().empty())
                return overrideName();
        }
        return QSysInfo::machineHostName().toStdWString();
    }
};
}

IVornOS &VornOS::Create()
{
    // Never destroyed: callers may still ask during static destruction.
    static IVornOS *os = new LocalVornOS;
    return *os;
}

void VornOSHost::SetComputerNameOverride(const std::wstring &name)
{
    std::lock_guard<std::mutex> lock(overrideMutex);
    overrideName() = name;
}
