// The test program's client ORB: OrbHandler's, brought up once with short
// timeouts so that a failing test fails fast.
#pragma once

#include <orbhandler.h>

#include <string>

namespace servicetests
{
CORBA::ORB_ptr clientOrb();

template <typename T>
typename T::_ptr_type narrowTo(const std::string &corbaloc)
{
    CORBA::Object_var obj = clientOrb()->string_to_object(corbaloc.c_str());
    return T::_narrow(obj);
}
}
