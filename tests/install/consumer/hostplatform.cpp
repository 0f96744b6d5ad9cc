#include "hostplatform.h"

#include <orbhandler.h>
#include <orbhandlerhost.h>

bool startOrb(const QString &ccoCorbaloc)
{
    return CorbaCommon::OrbHandlerHost::Init({QStringLiteral("-ORBInitRef"), QStringLiteral("CCO=") + ccoCorbaloc})
        && CorbaCommon::OrbHandler::Instance().ConnectToCCO(5, 1000);
}

void stopOrb()
{
    CorbaCommon::OrbHandlerHost::Shutdown();
}
