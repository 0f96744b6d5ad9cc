#include "orbconnection.h"

#include "orbhandler.h"

#include <mutex>

using CorbaCommon::OrbHandler;

namespace
{
// destroyInstance() does not free the object. The driver destroys the
// process-wide connection when the host destroys its instance, but objects
// that other modules made (the watcher, the registrations) may still hold the
// pointer they took from instance() and call it from their own threads. So
// the object is parked in `retired` instead, and the next instance() takes it
// back into service: there is at most one object per process, every pointer
// ever handed out stays valid, and the parked object stays reachable.
std::mutex instanceMutex;
ORBConnection *current = nullptr;
ORBConnection *retired = nullptr;
}

ORBConnection::ORBConnection()
    : QThread(nullptr)
    , orbAvailable(OrbHandler::Instance().orbIsAvailable())
{
}

ORBConnection::~ORBConnection() = default;

ORBConnection *ORBConnection::instance()
{
    std::lock_guard<std::mutex> lock(instanceMutex);
    if (!current) {
        if (retired) {
            current = retired;
            retired = nullptr;
            // Taken back into service as if newly constructed.
            current->orbAvailable = OrbHandler::Instance().orbIsAvailable();
        } else {
            current = new ORBConnection();
        }
    }
    return current;
}

void ORBConnection::destroyInstance()
{
    std::lock_guard<std::mutex> lock(instanceMutex);
    if (!current)
        return;
    // The thread runs one local query, so this wait is short; a QThread must
    // not be retired (and later restarted) while it still runs.
    current->wait();
    retired = current;
    current = nullptr;
}

bool ORBConnection::isOrbAvailable()
{
    if (orbAvailable)
        return true;
    const bool available = OrbHandler::Instance().orbIsAvailable();
    orbAvailable = available;
    return available;
}

bool ORBConnection::connectToCCO()
{
    if (OrbHandler::Instance().CCOIsAvailable())
        return true;
    return OrbHandler::Instance().ConnectToCCO(2, 500);
}

CCO::IF_CCO_c_var ORBConnection::getCCO()
{
    return CCO::IF_CCO_c_var(OrbHandler::Instance().GetCCO());
}

CORBA::Object_ptr ORBConnection::resolveInterface(QString name, bool *ok)
{
    CORBA::Object_ptr object
        = OrbHandler::Instance().ResolveInterfaceViaCCO(name.toLatin1().constData(), QStringLiteral("localhost"));
    if (ok)
        *ok = !CORBA::is_nil(object);
    return object;
}

void ORBConnection::run()
{
    orbAvailable = OrbHandler::Instance().orbIsAvailable();
}
