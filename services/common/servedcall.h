// The frame around every operation a servant serves: injected faults first,
// then the operation, then one log line with its outcome.
#pragma once

#include "calllog.h"
#include "faultinjector.h"

#include <omniORB4/CORBA.h>

#include <string>
#include <type_traits>

namespace services
{
// Names of the CORBA system exceptions that "fault raise" accepts.
std::vector<std::string> systemExceptionNames();
// Throws the system exception `name` if it is one; returns otherwise.
void throwIfSystemException(const std::string &name);

class ServedCalls
{
public:
    ServedCalls(FaultInjector &faults, CallLog &log)
        : m_faults(faults)
        , m_log(log)
    {
    }
    virtual ~ServedCalls() = default;

    FaultInjector &faults() { return m_faults; }
    CallLog &log() { return m_log; }

protected:
    // Throws the servant's own exception of that name.
    [[noreturn]] virtual void raiseUserException(const FaultInjector::Raise &raise) = 0;

    // `body(outcome)` does the work and may append detail to `outcome`
    // ("ok" when left empty).
    template <typename Body>
    auto serve(const char *op, const std::string &name, const std::string &args, Body &&body)
        -> decltype(body(std::declval<std::string &>()))
    {
        using Result = decltype(body(std::declval<std::string &>()));
        std::string outcome;
        bool injected = false;
        // On an exception, `outcome` is what the body said about it.
        const auto failed = [&](const char *exception) {
            if (injected)
                return "injected " + std::string(exception);
            return outcome.empty() ? std::string(exception) : std::string(exception) + " (" + outcome + ")";
        };
        try {
            if (auto raise = m_faults.apply(op, name)) {
                injected = true;
                throwIfSystemException(raise->exception);
                raiseUserException(*raise);
            }
            if constexpr (std::is_void_v<Result>) {
                body(outcome);
                m_log.call(op, args, outcome.empty() ? "ok" : "ok " + outcome);
            } else {
                Result result = body(outcome);
                m_log.call(op, args, outcome.empty() ? "ok" : "ok " + outcome);
                return result;
            }
        } catch (const CORBA::UserException &e) {
            m_log.call(op, args, failed(e._name()));
            throw;
        } catch (const CORBA::SystemException &e) {
            m_log.call(op, args, failed(e._name()));
            throw;
        }
    }

private:
    FaultInjector &m_faults;
    CallLog &m_log;
};
}
