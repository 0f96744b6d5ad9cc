#include "hostplatform.h"

#include <orbhandler.h>

bool startOrb(const QString &ccoCorbaloc)
{
    auto &orb = CorbaCommon::OrbHandler::Instance();
    return orb.Init({QStringLiteral("-ORBInitRef"), QStringLiteral("CCO=") + ccoCorbaloc})
        && orb.ConnectToCCO(5, 1000);
}

void stopOrb()
{
    CorbaCommon::OrbHandler::Instance().Shutdown();
}
