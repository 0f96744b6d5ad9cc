// Compiled with the driver's include path only, by the tests
// driver.hostboundary.* in tests/driver/CMakeLists.txt, which expect this to
// fail: the host headers are found, the stand-in's extra header named by
// EXTRA_HEADER is not.
#include "cfgcenter.h"
#include "errorhandler.h"
#include "observable.h"
#include "orbhandler.h"
#include "tree.h"
#include "vornos.h"

#include EXTRA_HEADER
