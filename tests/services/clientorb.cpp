#include "clientorb.h"

namespace servicetests
{
CORBA::ORB_ptr clientOrb()
{
    auto &handler = CorbaCommon::OrbHandler::Instance();
    if (!handler.orbIsAvailable())
        handler.Init({QStringLiteral("-ORBclientCallTimeOutPeriod"), QStringLiteral("2000")});
    return handler.Orb();
}
}
