// The plug-in's entry points, exported under their plain C names so that the
// host finds them with dlsym("ZRCreate") / dlsym("ZRDestroy").
#include "externalccodriver.h"
#include "externalccodriver_export.h"

#include <new>

extern "C" {

EXTERNALCCODRIVER_EXPORT IDllInstance *ZRCreate(const wchar_t *name)
{
    ExternalCCODriver *driver = nullptr;
    try {
        driver = new ExternalCCODriver(name ? QString::fromWCharArray(name) : QString());
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    driver->Init();
    return driver;
}

EXTERNALCCODRIVER_EXPORT void ZRDestroy(IDllInstance *instance)
{
    if (!instance)
        return;
    delete static_cast<ExternalCCODriver *>(instance);
}
}
