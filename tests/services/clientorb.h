// The test program's client ORB: OrbHandler's, brought up once with short
// timeouts so that a failing test fails fast.
#pragma once

#include <orbhandler.h>

#include <string>

namespace servicetests
{
CORBA::ORB_ptr clientOrb();

// Checked narrow of a corbaloc. A connection left over from an earlier
// server process on the same port fails the first request sent on it
// (COMM_FAILURE, completed maybe); the ORB then drops it, so one more try
// reaches the new process.
template <typename T>
typename T::_ptr_type narrowTo(const std::string &corbaloc)
{
    CORBA::Object_var obj = clientOrb()->string_to_object(corbaloc.c_str());
    try {
        return T::_narrow(obj);
    } catch (const CORBA::COMM_FAILURE &) {
        return T::_narrow(obj);
    }
}
}
