// The platform's CORBA connection component: holds the process's ORB and the
// reference to the CCO.
//
// Threads: every operation may be called from any thread at any time; the
// CCO reference is guarded by an internal lock that is never held across a
// remote call. Every remote call made here is bounded by the ORB's call and
// connect timeouts, which Init sets.
#pragma once

#include <QString>
#include <QStringList>

#include <cco.hh>

namespace CorbaCommon
{
class OrbHandler
{
public:
    static OrbHandler &Instance();

    // Host side: brings the process's ORB up with the given ORB arguments
    // (for example "-ORBInitRef", "CCO=corbaloc::127.0.0.1:2809/CCO"). Call
    // and connect timeouts are taken from -ORBclientCallTimeOutPeriod and
    // -ORBclientConnectTimeOutPeriod when given, else from the environment
    // (VORN_CALL_TIMEOUT_MS, VORN_CONNECT_TIMEOUT_MS), else the defaults
    // below; a value that is not positive is refused with a warning and the
    // next of these applies. Returns false (and leaves the ORB down) when
    // ORB_init fails.
    bool Init(const QStringList &orbArgs);
    // Host side: drops the CCO reference and destroys the ORB.
    void Shutdown();
    // The ORB while it is up, else nil. Not owned by the caller.
    CORBA::ORB_ptr Orb() const;

    static constexpr int DefaultCallTimeoutMs = 3000;
    static constexpr int DefaultConnectTimeoutMs = 500;

    // True once the ORB can carry calls.
    bool orbIsAvailable() const;
    // True when a CCO reference is held and the CCO answers.
    bool CCOIsAvailable() const;
    // Up to `tries` attempts to resolve the initial reference "CCO" and
    // narrow it to IF_CCO_c, each bounded by `timeoutMs`. A failure keeps the
    // reference held so far: other threads go on using it.
    bool ConnectToCCO(int tries, int timeoutMs);
    // A new reference to the CCO that the caller releases, or nil. When none
    // is held yet, one try as in ConnectToCCO is made first.
    CCO::_objref_IF_CCO_c *GetCCO() const;
    // Resolves `name` at the CCO; the caller owns the result. Nil when the
    // name does not resolve, the CCO is not there or the call fails. `host`
    // names the workstation whose CCO is asked; "localhost" is the own one.
    CORBA::Object *ResolveInterfaceViaCCO(const char *name, const QString &host) const;

private:
    OrbHandler();
    ~OrbHandler();
    OrbHandler(const OrbHandler &) = delete;
    OrbHandler &operator=(const OrbHandler &) = delete;

    struct Private;
    Private *d;
};
}
