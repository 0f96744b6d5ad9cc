#include "servedcall.h"

namespace services
{
std::vector<std::string> systemExceptionNames()
{
    return {"UNKNOWN",         "TRANSIENT",     "COMM_FAILURE", "NO_RESOURCES",  "BAD_PARAM",   "INTERNAL",
            "OBJECT_NOT_EXIST", "NO_PERMISSION", "TIMEOUT",      "BAD_OPERATION", "NO_IMPLEMENT", "MARSHAL"};
}

void throwIfSystemException(const std::string &name)
{
    const auto no = CORBA::COMPLETED_NO;
    if (name == "UNKNOWN")
        throw CORBA::UNKNOWN(0, no);
    if (name == "TRANSIENT")
        throw CORBA::TRANSIENT(0, no);
    if (name == "COMM_FAILURE")
        throw CORBA::COMM_FAILURE(0, no);
    if (name == "NO_RESOURCES")
        throw CORBA::NO_RESOURCES(0, no);
    if (name == "BAD_PARAM")
        throw CORBA::BAD_PARAM(0, no);
    if (name == "INTERNAL")
        throw CORBA::INTERNAL(0, no);
    if (name == "OBJECT_NOT_EXIST")
        throw CORBA::OBJECT_NOT_EXIST(0, no);
    if (name == "NO_PERMISSION")
        throw CORBA::NO_PERMISSION(0, no);
    if (name == "TIMEOUT")
        throw CORBA::TIMEOUT(0, no);
    if (name == "BAD_OPERATION")
        throw CORBA::BAD_OPERATION(0, no);
    if (name == "NO_IMPLEMENT")
        throw CORBA::NO_IMPLEMENT(0, no);
    if (name == "MARSHAL")
        throw CORBA::MARSHAL(0, no);
}
}
