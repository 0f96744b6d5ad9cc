// Faults that tests switch on in a running server: delay a call, hang it
// until the fault is cleared, or make it raise a named exception.
//
// Commands (as typed on the server's stdin after "fault ", or given with
// --fault at start):
//   delay OP[@NAME] MS          wait MS milliseconds, then serve normally
//   hang OP[@NAME]              block until the fault is cleared or the server stops
//   raise OP[@NAME] EXC [TEXT]  raise exception EXC (with reason TEXT where it has one)
//   clear [OP]                  remove all faults, or those of OP
// OP is the operation name as it travels ("ResolveValues", "_get_statusData",
// "_is_a") or "*" for every operation; NAME restricts the fault to calls whose
// name argument is exactly NAME.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace services
{
class FaultInjector
{
public:
    struct Raise
    {
        std::string exception;
        std::string reason;
    };

    // `exceptions` lists the names that "raise" accepts.
    explicit FaultInjector(std::vector<std::string> exceptions);

    // Applies one command; returns an error text, empty on success.
    std::string command(const std::string &line);

    // Called at the start of every served operation. Delays or blocks as the
    // faults say; returns the exception to raise, if one is to be raised.
    std::optional<Raise> apply(const std::string &op, const std::string &name);

    // Releases every hung call and makes later hangs and delays return at
    // once, so the ORB can finish its requests while the server stops.
    void releaseAll();

    const std::vector<std::string> &exceptionNames() const { return m_exceptions; }
    std::vector<std::string> describe() const;

private:
    enum class Action { Delay, Hang, Raise };
    struct Rule
    {
        std::uint64_t id;
        Action action;
        std::string op;
        std::string name; // empty: any name
        int delayMs = 0;
        std::string exception;
        std::string reason;
    };

    const Rule *match(const std::string &op, const std::string &name) const;
    bool present(std::uint64_t id) const;

    std::vector<std::string> m_exceptions;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Rule> m_rules;
    std::uint64_t m_nextId = 1;
    bool m_released = false;
};
}
