#include "cconaming.h"

#include <memory>

namespace services
{
namespace
{
// Lets Resolve hand out the reference it made once instead of parsing the IOR again.
struct ObjectHolder
{
    CORBA::Object_var object;
};

CcoStore::ObjectHandle hold(CORBA::Object_ptr obj)
{
    auto holder = std::make_shared<ObjectHolder>();
    holder->object = CORBA::Object::_duplicate(obj);
    return holder;
}

CORBA::Object_ptr held(const CcoStore::ObjectHandle &handle)
{
    return CORBA::Object::_duplicate(static_cast<const ObjectHolder *>(handle.get())->object.in());
}

// `outcome` gets what the log line should say beyond the exception's name.
[[noreturn]] void throwStatus(CcoStore::Status status, const CcoStore::Missing &missing, const std::string &detail,
                              std::string &outcome)
{
    outcome = detail;
    switch (status) {
    case CcoStore::Status::TooLarge:
        throw CORBA::IMP_LIMIT(0, CORBA::COMPLETED_NO);
    case CcoStore::Status::Full:
        throw CORBA::NO_RESOURCES(0, CORBA::COMPLETED_NO);
    case CcoStore::Status::NotStored:
        throw CORBA::PERSIST_STORE(0, CORBA::COMPLETED_NO);
    case CcoStore::Status::InvalidName:
        throw CosNaming::NamingContext::InvalidName();
    case CcoStore::Status::AlreadyBound:
        throw CosNaming::NamingContext::AlreadyBound();
    case CcoStore::Status::NotAnObject:
        throw CCO::IF_CCO_c_Naming::InvalidType();
    case CcoStore::Status::NotFound:
    default: {
        CosNaming::Name rest;
        rest.length(CORBA::ULong(missing.rest.size()));
        for (CORBA::ULong i = 0; i < rest.length(); ++i) {
            rest[i].id = CORBA::string_dup(missing.rest[i].c_str());
            rest[i].kind = CORBA::string_dup("");
        }
        throw CosNaming::NamingContext::NotFound(missing.rest.size() > 1 ? CosNaming::NamingContext::missing_node
                                                                          : CosNaming::NamingContext::not_object,
                                                 rest);
    }
    }
}

void checkRedundancy(CCO::RedundancyType redundancy)
{
    // Only single (non-redundant) registrations exist in this CCO.
    if (redundancy != CCO::RT_Single)
        throw CCO::IF_CCO_c_Naming::RedundancyTypeNotSupported();
}

std::string safe(const char *s)
{
    return s ? std::string(s) : std::string();
}
}

CCO::StringList *toStringList(const std::vector<std::string> &values)
{
    CCO::StringList_var list = new CCO::StringList;
    list->length(CORBA::ULong(values.size()));
    for (CORBA::ULong i = 0; i < list->length(); ++i)
        list[i] = CORBA::string_dup(values[i].c_str());
    return list._retn();
}

std::string describe(const std::vector<std::string> &values)
{
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (out.size() > CallLog::kArgumentBytes)
            return out + ", ... " + std::to_string(values.size()) + " values]";
        out += (i ? ", " : "") + values[i];
    }
    return out + "]";
}

CcoNaming::CcoNaming(CORBA::ORB_ptr orb, CcoStore &store, FaultInjector &faults, CallLog &log)
    : ServedCalls(faults, log)
    , m_orb(CORBA::ORB::_duplicate(orb))
    , m_store(store)
{
}

std::vector<std::string> CcoNaming::exceptionNames()
{
    std::vector<std::string> names = {"NotFound",    "InvalidName",   "AlreadyBound",
                                      "InvalidType", "InvalidObject", "RedundancyTypeNotSupported",
                                      "RedundancyStrategyNotSupported", "NameNotAvailable"};
    for (auto &s : systemExceptionNames())
        names.push_back(s);
    return names;
}

void CcoNaming::raiseUserException(const FaultInjector::Raise &raise)
{
    const std::string &e = raise.exception;
    if (e == "NotFound")
        throw CosNaming::NamingContext::NotFound(CosNaming::NamingContext::missing_node, CosNaming::Name());
    if (e == "InvalidName")
        throw CosNaming::NamingContext::InvalidName();
    if (e == "AlreadyBound")
        throw CosNaming::NamingContext::AlreadyBound();
    if (e == "InvalidType")
        throw CCO::IF_CCO_c_Naming::InvalidType();
    if (e == "InvalidObject")
        throw CCO::IF_CCO_c_Naming::InvalidObject();
    if (e == "RedundancyTypeNotSupported")
        throw CCO::IF_CCO_c_Naming::RedundancyTypeNotSupported();
    if (e == "RedundancyStrategyNotSupported")
        throw CCO::IF_CCO_c_Naming::RedundancyStrategyNotSupported();
    if (e == "NameNotAvailable")
        throw CCO::IF_CCO_c::NameNotAvailable();
    throw CORBA::UNKNOWN(0, CORBA::COMPLETED_NO);
}

void CcoNaming::changed(CCO::NotificationKind kind, const std::string &name)
{
    if (!m_changed)
        return;
    if (auto canonical = m_store.canonicalName(name))
        m_changed(kind, *canonical);
}

void CcoNaming::Register(const char *name, CORBA::Object_ptr obj, CCO::RedundancyType redundancy)
{
    const std::string n = safe(name);
    serve("Register", n, n, [&](std::string &outcome) {
        checkRedundancy(redundancy);
        if (CORBA::is_nil(obj))
            throw CCO::IF_CCO_c_Naming::InvalidObject();
        CORBA::String_var ior = m_orb->object_to_string(obj);
        std::string detail;
        const auto status = m_store.registerObject(n, ior.in(), hold(obj), &detail);
        if (status != CcoStore::Status::Ok)
            throwStatus(status, {}, detail, outcome);
    });
    changed(CCO::NK_Registered, n);
}

void CcoNaming::RegisterValues(const char *name, const CCO::StringList &values, CCO::RedundancyType redundancy)
{
    const std::string n = safe(name);
    std::vector<std::string> v;
    for (CORBA::ULong i = 0; i < values.length(); ++i)
        v.push_back(safe(values[i]));
    serve("RegisterValues", n, n + " " + describe(v), [&](std::string &outcome) {
        checkRedundancy(redundancy);
        std::string detail;
        const auto status = m_store.registerValues(n, v, &detail);
        if (status != CcoStore::Status::Ok)
            throwStatus(status, {}, detail, outcome);
    });
    changed(CCO::NK_Registered, n);
}

CORBA::Object_ptr CcoNaming::Unregister(const char *name, CCO::RedundancyType redundancy)
{
    const std::string n = safe(name);
    CORBA::Object_ptr result = serve("Unregister", n, n, [&](std::string &outcome) {
        checkRedundancy(redundancy);
        std::string ior, detail;
        CcoStore::ObjectHandle handle;
        CcoStore::Missing missing;
        const auto status = m_store.unregisterObject(n, ior, &handle, &missing, &detail);
        if (status != CcoStore::Status::Ok)
            throwStatus(status, missing, detail, outcome);
        return handle ? held(handle) : m_orb->string_to_object(ior.c_str());
    });
    changed(CCO::NK_Unregistered, n);
    return result;
}

void CcoNaming::UnregisterValues(const char *name, CCO::RedundancyType redundancy)
{
    const std::string n = safe(name);
    serve("UnregisterValues", n, n, [&](std::string &outcome) {
        checkRedundancy(redundancy);
        std::string detail;
        CcoStore::Missing missing;
        const auto status = m_store.unregisterValues(n, &missing, &detail);
        if (status != CcoStore::Status::Ok)
            throwStatus(status, missing, detail, outcome);
    });
    changed(CCO::NK_Unregistered, n);
}

CORBA::Object_ptr CcoNaming::Resolve(const char *name, CCO::ResolveMode)
{
    const std::string n = safe(name);
    return serve("Resolve", n, n, [&](std::string &outcome) {
        std::string ior, detail;
        CcoStore::ObjectHandle handle;
        CcoStore::Missing missing;
        const auto status = m_store.resolveObject(n, ior, &handle, &missing, &detail);
        if (status != CcoStore::Status::Ok)
            throwStatus(status, missing, detail, outcome);
        if (handle)
            return held(handle);
        // Bound before a restart: made from its IOR once, then kept.
        CORBA::Object_var obj = m_orb->string_to_object(ior.c_str());
        m_store.rememberObject(n, ior, hold(obj));
        return obj._retn();
    });
}

CCO::StringList *CcoNaming::ResolveValues(const char *name, CCO::ResolveMode)
{
    const std::string n = safe(name);
    return serve("ResolveValues", n, n, [&](std::string &outcome) {
        std::vector<std::string> out;
        std::string detail;
        CcoStore::Missing missing;
        const auto status = m_store.resolveValues(n, out, &missing, &detail);
        if (status != CcoStore::Status::Ok)
            throwStatus(status, missing, detail, outcome);
        outcome = describe(out);
        return toStringList(out);
    });
}
}
