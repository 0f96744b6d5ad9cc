// One refresh of the installation as the CCO tells it: subsystems,
// workstations, the objects registered under the watched categories, the
// matrix managers and, from each receiver's own value tree, its selected
// antenna and driver reports held against its matrix output. The state is a
// JSON object for the page; what the CCO cannot tell right now is kept as
// last seen and marked, and what needs the operator is listed first.
#pragma once

#include "viewsettings.h"

#include <QJsonObject>

#include <memory>

namespace installationview
{
class InstallationReader
{
public:
    // The ORB must be up (initOrb) for the reader's whole life. Follows the
    // receivers' trees on a thread of its own.
    explicit InstallationReader(const ViewSettings &settings);
    ~InstallationReader(); // waits for calls still under way (each bounded by the call timeout)
    InstallationReader(const InstallationReader &) = delete;
    InstallationReader &operator=(const InstallationReader &) = delete;

    // Blocks for the CCO's calls; the matrix managers are asked in the
    // background and waited for up to `probeWaitMs`, and what comes later
    // shows in the next refresh. The receivers' trees report on their own;
    // a refresh takes what they told so far.
    QJsonObject refresh(int probeWaitMs);

    // CORBA calls the last refresh made to the CCO itself.
    int lastCcoCalls() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
}
