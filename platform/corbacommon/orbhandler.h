// The platform's CORBA connection component: holds the process's ORB and the
// reference to the CCO.
//
// Threads: every operation may be called from any thread at any time; the
// CCO reference is guarded by an internal lock that is never held across a
// remote call. Every remote call made here is bounded by the ORB's call and
// connect timeouts, which the host sets as it brings the ORB up
// (OrbHandlerHost in the host's extras).
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
    // The host's side, offered through OrbHandlerHost (see there).
    friend struct OrbHandlerHost;
    bool Init(const QStringList &orbArgs);
    void Shutdown();
    CORBA::ORB_ptr Orb() const;

    OrbHandler();
    ~OrbHandler();
    OrbHandler(const OrbHandler &) = delete;
    OrbHandler &operator=(const OrbHandler &) = delete;

    struct Private;
    Private *d;
};
}
