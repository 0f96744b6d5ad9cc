// The client side of the tests that call a CCO themselves: the process's ORB,
// the conversions between CCO string lists and standard strings, and calls
// that bypass the classes under test.
#pragma once

#include "serverprocess.h"

#include <cco.hh>
#include <orbhandler.h>
#include <orbhandlerhost.h>

#include <string>
#include <utility>
#include <vector>

namespace ccoclient
{
using Strings = std::vector<std::string>;

// OrbHandler's ORB. The first caller in a process sets the call timeout, short
// so that a failing test fails fast.
inline CORBA::ORB_ptr clientOrb(int callTimeoutMs = 2000)
{
    auto &handler = CorbaCommon::OrbHandler::Instance();
    if (!handler.orbIsAvailable())
        CorbaCommon::OrbHandlerHost::Init(
            {QStringLiteral("-ORBclientCallTimeOutPeriod"), QString::number(callTimeoutMs)});
    return CorbaCommon::OrbHandlerHost::Orb();
}

// A connection left over from an earlier server on the same port (or from a
// process killed on it) fails the first requests; a few more tries reach the
// new process. `callTimeoutMs` as for clientOrb.
template <typename T> typename T::_ptr_type narrowTo(const QString &corbaloc, int callTimeoutMs = 2000)
{
    CORBA::Object_var obj = clientOrb(callTimeoutMs)->string_to_object(corbaloc.toLatin1().constData());
    for (int attempt = 0;; ++attempt) {
        try {
            return T::_narrow(obj);
        } catch (const CORBA::SystemException &) {
            if (attempt == 2)
                throw;
        }
    }
}

inline CCO::IF_CCO_c_ptr connectCco(const testsupport::ServerProcess &server, int callTimeoutMs = 2000)
{
    return narrowTo<CCO::IF_CCO_c>(server.corbaloc(), callTimeoutMs);
}

inline CCO::StringList values(const Strings &items)
{
    CCO::StringList list;
    list.length(CORBA::ULong(items.size()));
    for (CORBA::ULong i = 0; i < list.length(); ++i)
        list[i] = CORBA::string_dup(items[i].c_str());
    return list;
}

inline Strings strings(const CCO::StringList &list)
{
    Strings out;
    for (CORBA::ULong i = 0; i < list.length(); ++i)
        out.emplace_back(list[i].in());
    return out;
}

inline Strings resolve(CCO::IF_CCO_c_ptr cco, const std::string &name)
{
    CCO::StringList_var list = cco->ResolveValues(name.c_str(), CCO::RM_Default);
    return strings(list.in());
}

inline CCO::CallbackEntryList entries(const std::vector<std::pair<CCO::NotificationKind, const char *>> &list)
{
    CCO::CallbackEntryList out;
    out.length(CORBA::ULong(list.size()));
    for (CORBA::ULong i = 0; i < out.length(); ++i) {
        out[i].kind = list[i].first;
        out[i].name = CORBA::string_dup(list[i].second);
    }
    return out;
}

// Calls to the CCO that this process's OrbHandler is connected to; strings
// go as the bytes given. A connection to a CCO process that is gone fails one
// call, so each is tried twice. False when the CCO refused the call (or was
// not reached).
template <typename Call> bool callTwice(const Call &call)
{
    CCO::IF_CCO_c_var cco = CorbaCommon::OrbHandler::Instance().GetCCO();
    for (int attempt = 0; attempt < 2 && !CORBA::is_nil(cco); ++attempt) {
        try {
            call(cco.in());
            return true;
        } catch (const CORBA::COMM_FAILURE &) {
        } catch (const CORBA::Exception &) {
            return false;
        }
    }
    return false;
}

// A list that is there already counts as registered.
inline bool registerValues(const std::string &name, const Strings &items)
{
    return callTwice([&](CCO::IF_CCO_c_ptr cco) {
        try {
            cco->RegisterValues(name.c_str(), values(items), CCO::RT_Single);
        } catch (const CosNaming::NamingContext::AlreadyBound &) {
        }
    });
}

inline bool unregisterValues(const std::string &name)
{
    return callTwice([&](CCO::IF_CCO_c_ptr cco) { cco->UnregisterValues(name.c_str(), CCO::RT_Single); });
}

// An unknown name or a failed call reads as no values.
inline Strings resolveValues(const std::string &name)
{
    Strings out;
    callTwice([&](CCO::IF_CCO_c_ptr cco) { out = resolve(cco, name); });
    return out;
}

// The value of `key` in the server's "STATS" line, -1 when there is none.
inline long stat(testsupport::ServerProcess &server, const QString &key)
{
    const int from = server.lineCount();
    if (!server.command(QStringLiteral("stats")))
        return -1;
    const int at = server.waitForLine(QStringLiteral("STATS "), 5000, from);
    if (at < 0)
        return -1;
    const QString line = server.lines().at(at);
    const int pos = line.indexOf(QLatin1Char(' ') + key + QLatin1Char('='));
    return pos < 0 ? -1 : line.mid(pos + key.size() + 2).section(QLatin1Char(' '), 0, 0).toLong();
}
}
