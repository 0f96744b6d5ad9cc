// The naming operations of the CCO (the IF_CCO_c_NamingCorba part), shared
// by the full CCO servant and by the naming-only servant that stands for an
// object that is not a full CCO.
#pragma once

#include "ccostore.h"
#include "servedcall.h"

#include <cco.hh>

#include <functional>

namespace services
{
class CcoNaming : public ServedCalls
{
public:
    // `changed(kind, canonicalName)` is called after every successful
    // (un)registration, outside any lock.
    using ChangeHook = std::function<void(CCO::NotificationKind, const std::string &)>;

    CcoNaming(CORBA::ORB_ptr orb, CcoStore &store, FaultInjector &faults, CallLog &log);

    void setChangeHook(ChangeHook hook) { m_changed = std::move(hook); }
    CcoStore &store() { return m_store; }

    // Exception names that "fault raise" accepts at the CCO.
    static std::vector<std::string> exceptionNames();

    void Register(const char *name, CORBA::Object_ptr obj, CCO::RedundancyType redundancy);
    void RegisterValues(const char *name, const CCO::StringList &values, CCO::RedundancyType redundancy);
    CORBA::Object_ptr Unregister(const char *name, CCO::RedundancyType redundancy);
    void UnregisterValues(const char *name, CCO::RedundancyType redundancy);
    CORBA::Object_ptr Resolve(const char *name, CCO::ResolveMode mode);
    CCO::StringList *ResolveValues(const char *name, CCO::ResolveMode mode);

    // For the operations of the full servant: the same fault/log frame.
    template <typename Body>
    auto serveCall(const char *op, const std::string &name, const std::string &args, Body &&body)
    {
        return serve(op, name, args, std::forward<Body>(body));
    }

    [[noreturn]] void raiseUserException(const FaultInjector::Raise &raise) override;

private:
    void changed(CCO::NotificationKind kind, const std::string &name);

    CORBA::ORB_var m_orb;
    CcoStore &m_store;
    ChangeHook m_changed;
};

CCO::StringList *toStringList(const std::vector<std::string> &values);
std::string describe(const std::vector<std::string> &values);
}
