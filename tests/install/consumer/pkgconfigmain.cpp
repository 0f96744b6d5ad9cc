// Links through pkg-config only; prints the version it was compiled against.
#include <antennarangedefinition.h>
#include <ccoregistration.h>
#include <externalccodriver_version.h>

#include <cstdio>

int main()
{
    void (*unregister)(const QString &) = &externalCCODriver::CCORegistration::unregisterFromCCO;
    receivers::antenna::driver::AntennaRangeDefinition range {};
    std::printf("%s %d\n", EXTERNALCCODRIVER_VERSION, unregister != nullptr && range.antennaName.isEmpty());
    return 0;
}
