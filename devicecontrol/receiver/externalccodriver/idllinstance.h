// The host's plug-in interface: what the host holds of every driver instance
// that a plug-in's ZRCreate hands out.
#pragma once

#include "externalccodriver_export.h"

#include <QString>

/// What the host holds of every driver instance that a plug-in's ZRCreate
/// hands out.
class EXTERNALCCODRIVER_EXPORT IDllInstance
{
public:
    /// The host deletes instances only through the plug-in's ZRDestroy, never
    /// through this destructor directly, so that the plug-in frees what it
    /// allocated.
    virtual ~IDllInstance() = default;
    /// Whether the instance is ready for the host's requests.
    virtual bool IsReady() { return true; }
    /// Lets the instance refresh what it shows in the value tree.
    virtual void Refresh() { }
    /// Asks the instance to commit what the host changed.
    virtual void CommitData() { }

    /// Set from the name given to ZRCreate.
    QString instanceName;
};
