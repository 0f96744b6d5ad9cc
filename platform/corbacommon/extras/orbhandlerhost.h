// Host side of the ORB handler: bringing the process's ORB up and down, and
// the ORB itself for hosts, servers and tests that make objects of their own.
// The driver plug-in is built without this folder on its include path: the
// host it runs in starts the ORB, and the plug-in reaches it only through
// OrbHandler.
#pragma once

#include <QStringList>

#include <omniORB4/CORBA.h>

namespace CorbaCommon
{
struct OrbHandlerHost
{
    // Brings the process's ORB up with the given ORB arguments (for example
    // "-ORBInitRef", "CCO=corbaloc::127.0.0.1:2809/CCO"). Call and connect
    // timeouts are taken from -ORBclientCallTimeOutPeriod and
    // -ORBclientConnectTimeOutPeriod when given, else from the environment
    // (VORN_CALL_TIMEOUT_MS, VORN_CONNECT_TIMEOUT_MS), else the defaults
    // below; a value that is not positive is refused with a warning and the
    // next of these applies. Returns false (and leaves the ORB down) when
    // ORB_init fails; true at once when the ORB is up already.
    static bool Init(const QStringList &orbArgs);
    // Drops the CCO reference and destroys the ORB.
    static void Shutdown();
    // The ORB while it is up, else nil. Not owned by the caller.
    static CORBA::ORB_ptr Orb();

    static constexpr int DefaultCallTimeoutMs = 3000;
    static constexpr int DefaultConnectTimeoutMs = 500;
};
}
