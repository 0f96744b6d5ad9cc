#include "ccoservant.h"

#include <omniORB4/omniORB.h>

#include <algorithm>

namespace services
{
namespace
{
std::string safe(const char *s)
{
    return s ? std::string(s) : std::string();
}

bool contains(const std::vector<std::string> &list, const std::string &s)
{
    return std::find(list.begin(), list.end(), s) != list.end();
}

// The registration object handed to a callback's owner; ending it removes
// the callback from the CCO and deactivates this object.
class CBRegistrationServant : public POA_CCO::CBRegistration
{
public:
    CBRegistrationServant(CcoServant &cco, unsigned long id, PortableServer::POA_ptr poa)
        : m_cco(cco)
        , m_id(id)
        , m_poa(PortableServer::POA::_duplicate(poa))
    {
    }

    void unregister() override
    {
        m_cco.unregisterCallback(m_id);
        try {
            PortableServer::ObjectId_var oid = m_poa->servant_to_id(this);
            m_poa->deactivate_object(oid);
        } catch (const CORBA::Exception &) {
            // Already deactivated by an earlier unregister.
        }
    }

    PortableServer::POA_ptr _default_POA() override { return PortableServer::POA::_duplicate(m_poa); }

private:
    CcoServant &m_cco;
    unsigned long m_id;
    PortableServer::POA_var m_poa;
};
}

CcoServant::CcoServant(CcoNaming &naming, PortableServer::POA_ptr poa)
    : CcoServant(naming, poa, Limits())
{
}

CcoServant::CcoServant(CcoNaming &naming, PortableServer::POA_ptr poa, Limits limits)
    : m_naming(naming)
    , m_poa(PortableServer::POA::_duplicate(poa))
    , m_limits(limits)
    , m_notifier(limits.queuedNotifications, naming.log(), [this](unsigned long id) { unregisterCallback(id); })
{
    m_naming.setChangeHook([this](CCO::NotificationKind kind, const std::string &name) { notify(kind, name); });
}

CcoServant::~CcoServant()
{
    m_naming.setChangeHook(nullptr);
    m_notifier.stop();
}

void CcoServant::setSystemWorkstations(std::vector<std::string> workstations)
{
    m_systemWorkstations = std::move(workstations);
}

void CcoServant::notify(CCO::NotificationKind kind, const std::string &name)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Registration &r : m_registrations) {
        for (const auto &entry : r.entries) {
            const bool below = entry.second.empty() || name == entry.second ||
                               name.compare(0, entry.second.size() + 1, entry.second + "/") == 0;
            if (entry.first == kind && below) {
                m_notifier.post(r.id, r.callback, kind, name);
                break;
            }
        }
    }
}

bool CcoServant::unregisterCallback(unsigned long id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = std::find_if(m_registrations.begin(), m_registrations.end(),
                                 [id](const Registration &r) { return r.id == id; });
    if (it == m_registrations.end())
        return false;
    m_registrations.erase(it);
    return true;
}

std::size_t CcoServant::callbackCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_registrations.size();
}

void CcoServant::StartupIndication(const char *workstation)
{
    const std::string ws = safe(workstation);
    m_naming.serveCall("StartupIndication", ws, ws, [&](std::string &) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_started.insert(ws);
    });
    notify(CCO::NK_Startup, ws);
}

CORBA::Boolean CcoServant::CheckIndication(const char *workstation)
{
    const std::string ws = safe(workstation);
    return m_naming.serveCall("CheckIndication", ws, ws, [&](std::string &outcome) -> CORBA::Boolean {
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool started = m_started.count(ws) > 0;
        outcome = started ? "true" : "false";
        return started;
    });
}

void CcoServant::ShutdownIndication(const char *workstation)
{
    const std::string ws = safe(workstation);
    m_naming.serveCall("ShutdownIndication", ws, ws, [&](std::string &) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_started.erase(ws);
        m_centralServices.erase(ws);
    });
    notify(CCO::NK_Shutdown, ws);
}

void CcoServant::CentralServicesIndication(const char *workstation)
{
    const std::string ws = safe(workstation);
    m_naming.serveCall("CentralServicesIndication", ws, ws, [&](std::string &) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_centralServices.insert(ws);
    });
}

void CcoServant::Register(const char *name, CORBA::Object_ptr obj, CCO::RedundancyType redundancy)
{
    m_naming.Register(name, obj, redundancy);
}

void CcoServant::RegisterValues(const char *name, const CCO::StringList &values, CCO::RedundancyType redundancy)
{
    m_naming.RegisterValues(name, values, redundancy);
}

CORBA::Object_ptr CcoServant::Unregister(const char *name, CCO::RedundancyType redundancy)
{
    return m_naming.Unregister(name, redundancy);
}

void CcoServant::UnregisterValues(const char *name, CCO::RedundancyType redundancy)
{
    m_naming.UnregisterValues(name, redundancy);
}

CORBA::Object_ptr CcoServant::Resolve(const char *name, CCO::ResolveMode mode)
{
    return m_naming.Resolve(name, mode);
}

CCO::StringList *CcoServant::ResolveValues(const char *name, CCO::ResolveMode mode)
{
    return m_naming.ResolveValues(name, mode);
}

char *CcoServant::configuredName(const char *op, const std::string &value)
{
    return m_naming.serveCall(op, "", "", [&](std::string &outcome) {
        if (value.empty())
            throw CCO::IF_CCO_c::NameNotAvailable();
        outcome = value;
        return CORBA::string_dup(value.c_str());
    });
}

char *CcoServant::GetSystemName()
{
    return configuredName("GetSystemName", m_naming.store().config().system);
}

char *CcoServant::GetSubSystemName()
{
    return configuredName("GetSubSystemName", m_naming.store().config().subsystem);
}

char *CcoServant::GetWorkstationName()
{
    return configuredName("GetWorkstationName", m_naming.store().config().workstation);
}

CCO::StringList *CcoServant::GetSubSystems()
{
    return m_naming.serveCall("GetSubSystems", "", "", [&](std::string &outcome) {
        const auto &list = m_naming.store().config().subsystems;
        outcome = describe(list);
        return toStringList(list);
    });
}

CCO::StringList *CcoServant::GetWorkstations(const char *subsystem)
{
    const std::string sub = safe(subsystem);
    return m_naming.serveCall("GetWorkstations", sub, sub, [&](std::string &outcome) {
        const auto &config = m_naming.store().config();
        std::vector<std::string> list;
        if (sub == config.subsystem) {
            list = config.workstations;
            if (!config.workstation.empty() && !contains(list, config.workstation))
                list.insert(list.begin(), config.workstation);
        }
        if (!sub.empty()) {
            for (const auto &ws : m_naming.store().boundChildren("CCO/LocalSystem/SubSystems/" + sub + "/Workstations")) {
                if (!contains(list, ws))
                    list.push_back(ws);
            }
        }
        outcome = describe(list);
        return toStringList(list);
    });
}

CCO::StringList *CcoServant::GetSystemWorkstations()
{
    return m_naming.serveCall("GetSystemWorkstations", "", "", [&](std::string &outcome) {
        outcome = describe(m_systemWorkstations);
        return toStringList(m_systemWorkstations);
    });
}

CORBA::Boolean CcoServant::IsLocalHostASystemWorkstation()
{
    return m_naming.serveCall("IsLocalHostASystemWorkstation", "", "", [&](std::string &outcome) -> CORBA::Boolean {
        const bool is = contains(m_systemWorkstations, m_naming.store().config().workstation);
        outcome = is ? "true" : "false";
        return is;
    });
}

CORBA::Boolean CcoServant::IsRemoteCCOIndicated(const char *workstation)
{
    const std::string ws = safe(workstation);
    return m_naming.serveCall("IsRemoteCCOIndicated", ws, ws, [&](std::string &outcome) -> CORBA::Boolean {
        if (ws.empty())
            throw CCO::IF_CCO_c::NameNotAvailable();
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool is = m_centralServices.count(ws) > 0;
        outcome = is ? "true" : "false";
        return is;
    });
}

CORBA::Boolean CcoServant::IsWorkstationIndicated(const char *subsystem, const char *workstation)
{
    const std::string sub = safe(subsystem);
    const std::string ws = safe(workstation);
    return m_naming.serveCall("IsWorkstationIndicated", ws, sub + " " + ws, [&](std::string &outcome) -> CORBA::Boolean {
        if (sub.empty() || ws.empty())
            throw CCO::IF_CCO_c::NameNotAvailable();
        const auto &config = m_naming.store().config();
        const bool known = sub == config.subsystem || contains(config.subsystems, sub);
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool is = known && m_started.count(ws) > 0;
        outcome = is ? "true" : "false";
        return is;
    });
}

CCO::CBRegistration_ptr CcoServant::register_callback(CCO::Callback_ptr cb, const CCO::CallbackEntryList &entries)
{
    std::string args;
    for (CORBA::ULong i = 0; i < entries.length(); ++i)
        args += (i ? " " : "") + std::to_string(int(entries[i].kind)) + ":" + safe(entries[i].name);
    return m_naming.serveCall("register_callback", "", args, [&](std::string &outcome) {
        if (CORBA::is_nil(cb))
            throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO);
        if (entries.length() > m_limits.entriesPerCallback) {
            outcome = std::to_string(entries.length()) + " entries (limit " +
                      std::to_string(m_limits.entriesPerCallback) + ")";
            throw CORBA::IMP_LIMIT(0, CORBA::COMPLETED_NO);
        }
        Registration r;
        r.callback = CCO::Callback::_duplicate(cb);
        omniORB::setClientCallTimeout(r.callback, CORBA::ULong(m_limits.notifyTimeoutMs));
        for (CORBA::ULong i = 0; i < entries.length(); ++i) {
            const std::string name = safe(entries[i].name);
            const auto kind = entries[i].kind;
            if (kind == CCO::NK_Startup || kind == CCO::NK_Shutdown || name.empty()) {
                r.entries.emplace_back(kind, name);
            } else {
                auto canonical = m_naming.store().canonicalName(name);
                if (!canonical)
                    throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO);
                r.entries.emplace_back(kind, *canonical);
            }
        }
        unsigned long id;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_registrations.size() >= m_limits.callbacks) {
                outcome = std::to_string(m_registrations.size()) + " callbacks registered (limit " +
                          std::to_string(m_limits.callbacks) + ")";
                throw CORBA::NO_RESOURCES(0, CORBA::COMPLETED_NO);
            }
            id = r.id = m_nextRegistration++;
            m_registrations.push_back(std::move(r));
        }
        outcome = "id " + std::to_string(id);
// GCC's array-bounds analysis misreads the virtual ServantBase base of the
// generated skeleton when the sanitizers instrument this allocation.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
        auto *servant = new CBRegistrationServant(*this, id, m_poa);
#pragma GCC diagnostic pop
        PortableServer::ObjectId_var oid = m_poa->activate_object(servant);
        servant->_remove_ref(); // the POA owns it now
        CORBA::Object_var obj = m_poa->id_to_reference(oid);
        return CCO::CBRegistration::_narrow(obj);
    });
}

CCO::StringList *CcoServant::GetWorkStationsFromCCOConfig(const char *subsystem)
{
    const std::string sub = safe(subsystem);
    return m_naming.serveCall("GetWorkStationsFromCCOConfig", sub, sub, [&](std::string &outcome) {
        const auto &config = m_naming.store().config();
        std::vector<std::string> list;
        if (sub.empty() || sub == config.subsystem) {
            list = config.workstations;
            if (!config.workstation.empty() && !contains(list, config.workstation))
                list.insert(list.begin(), config.workstation);
        }
        outcome = describe(list);
        return toStringList(list);
    });
}

CORBA::Boolean CcoServant::_is_a(const char *repoId)
{
    const std::string id = safe(repoId);
    return m_naming.serveCall("_is_a", id, id, [&](std::string &outcome) -> CORBA::Boolean {
        const bool is = POA_CCO::IF_CCO_c::_is_a(repoId);
        outcome = is ? "true" : "false";
        return is;
    });
}

CORBA::Boolean CcoServant::_non_existent()
{
    return m_naming.serveCall("_non_existent", "", "", [&](std::string &) -> CORBA::Boolean { return false; });
}

CcoNamingServant::CcoNamingServant(CcoNaming &naming)
    : m_naming(naming)
{
}

void CcoNamingServant::Register(const char *name, CORBA::Object_ptr obj, CCO::RedundancyType redundancy)
{
    m_naming.Register(name, obj, redundancy);
}

void CcoNamingServant::RegisterValues(const char *name, const CCO::StringList &values, CCO::RedundancyType redundancy)
{
    m_naming.RegisterValues(name, values, redundancy);
}

CORBA::Object_ptr CcoNamingServant::Unregister(const char *name, CCO::RedundancyType redundancy)
{
    return m_naming.Unregister(name, redundancy);
}

void CcoNamingServant::UnregisterValues(const char *name, CCO::RedundancyType redundancy)
{
    m_naming.UnregisterValues(name, redundancy);
}

CORBA::Object_ptr CcoNamingServant::Resolve(const char *name, CCO::ResolveMode mode)
{
    return m_naming.Resolve(name, mode);
}

CCO::StringList *CcoNamingServant::ResolveValues(const char *name, CCO::ResolveMode mode)
{
    return m_naming.ResolveValues(name, mode);
}
}
