// The CCO: the full IF_CCO_c servant. Naming goes to CcoNaming; the names,
// subsystems and workstations come from the store's configuration; callbacks
// registered with register_callback are told of (un)registrations below the
// names they registered for, and of start-up and shut-down indications, from
// a thread of their own (CallbackNotifier). Registrations and their entries
// are capped: anyone may register, so nobody may register without bound.
#pragma once

#include "callbacknotifier.h"
#include "cconaming.h"

#include <cco.hh>

#include <mutex>
#include <set>

namespace services
{
class CcoServant : public POA_CCO::IF_CCO_c
{
public:
    struct Limits
    {
        std::size_t callbacks = 100;         // registrations at a time
        std::size_t entriesPerCallback = 100;
        std::size_t queuedNotifications = 1000;
        unsigned long notifyTimeoutMs = 1000; // per notification, on top of the ORB's connect timeout
    };

    // `poa` holds the CBRegistration objects that register_callback returns.
    CcoServant(CcoNaming &naming, PortableServer::POA_ptr poa);
    CcoServant(CcoNaming &naming, PortableServer::POA_ptr poa, Limits limits);
    ~CcoServant() override;

    // IF_CCO_c_Update
    void StartupIndication(const char *workstation) override;
    CORBA::Boolean CheckIndication(const char *workstation) override;
    void ShutdownIndication(const char *workstation) override;
    void CentralServicesIndication(const char *workstation) override;

    // IF_CCO_c_NamingCorba
    void Register(const char *name, CORBA::Object_ptr obj, CCO::RedundancyType redundancy) override;
    void RegisterValues(const char *name, const CCO::StringList &values, CCO::RedundancyType redundancy) override;
    CORBA::Object_ptr Unregister(const char *name, CCO::RedundancyType redundancy) override;
    void UnregisterValues(const char *name, CCO::RedundancyType redundancy) override;
    CORBA::Object_ptr Resolve(const char *name, CCO::ResolveMode mode) override;
    CCO::StringList *ResolveValues(const char *name, CCO::ResolveMode mode) override;

    // IF_CCO_c
    char *GetSystemName() override;
    char *GetSubSystemName() override;
    char *GetWorkstationName() override;
    CCO::StringList *GetSubSystems() override;
    CCO::StringList *GetWorkstations(const char *subsystem) override;
    CCO::StringList *GetSystemWorkstations() override;
    CORBA::Boolean IsLocalHostASystemWorkstation() override;
    CORBA::Boolean IsRemoteCCOIndicated(const char *workstation) override;
    CORBA::Boolean IsWorkstationIndicated(const char *subsystem, const char *workstation) override;
    CCO::CBRegistration_ptr register_callback(CCO::Callback_ptr cb, const CCO::CallbackEntryList &entries) override;
    CCO::StringList *GetWorkStationsFromCCOConfig(const char *subsystem) override;

    // Answered by the ORB on the servant's behalf; served here so that faults
    // can reach a narrow and a liveness probe too.
    CORBA::Boolean _is_a(const char *repoId) override;
    CORBA::Boolean _non_existent() override;

    // Ends the registration with that id; false if there is none.
    bool unregisterCallback(unsigned long id);
    std::size_t callbackCount() const;
    // Ends the sending of notifications; for the time before the ORB goes down.
    void stopCallbacks() { m_notifier.stop(); }

    // System workstations (GetSystemWorkstations).
    void setSystemWorkstations(std::vector<std::string> workstations);

private:
    struct Registration
    {
        unsigned long id;
        CCO::Callback_var callback;
        std::vector<std::pair<CCO::NotificationKind, std::string>> entries; // canonical names
    };

    void notify(CCO::NotificationKind kind, const std::string &name);
    char *configuredName(const char *op, const std::string &value);

    CcoNaming &m_naming;
    PortableServer::POA_var m_poa;
    const Limits m_limits;
    std::vector<std::string> m_systemWorkstations;

    mutable std::mutex m_mutex;
    std::set<std::string> m_started;
    std::set<std::string> m_centralServices;
    std::vector<Registration> m_registrations;
    unsigned long m_nextRegistration = 1;
    CallbackNotifier m_notifier; // last: its thread calls back into this
};

// Stands for an object that offers the CCO's naming but is not a CCO: a
// checked narrow of its reference to IF_CCO_c fails.
class CcoNamingServant : public POA_CCO::IF_CCO_c_NamingCorba
{
public:
    explicit CcoNamingServant(CcoNaming &naming);

    void Register(const char *name, CORBA::Object_ptr obj, CCO::RedundancyType redundancy) override;
    void RegisterValues(const char *name, const CCO::StringList &values, CCO::RedundancyType redundancy) override;
    CORBA::Object_ptr Unregister(const char *name, CCO::RedundancyType redundancy) override;
    void UnregisterValues(const char *name, CCO::RedundancyType redundancy) override;
    CORBA::Object_ptr Resolve(const char *name, CCO::ResolveMode mode) override;
    CCO::StringList *ResolveValues(const char *name, CCO::ResolveMode mode) override;

private:
    CcoNaming &m_naming;
};
}
