// Compiled with the driver's include path only, by the test driver.hostboundary
// in tests/driver/CMakeLists.txt, which expects this to fail: the host headers
// are found, the stand-ins' extras are not.
#include "cfgcenter.h"
#include "observable.h"
#include "vornos.h"

#include "observableinspection.h"
#include "cfgcenterhost.h"
#include "vornoshost.h"

bool probe(const Observable &subject)
{
    return ObservableInspection::HasObserver(subject, nullptr);
}
