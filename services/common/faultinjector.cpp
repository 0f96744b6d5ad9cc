#include "faultinjector.h"

#include <algorithm>
#include <chrono>
#include <sstream>

namespace services
{
FaultInjector::FaultInjector(std::vector<std::string> exceptions)
    : m_exceptions(std::move(exceptions))
{
}

std::string FaultInjector::command(const std::string &line)
{
    std::istringstream in(line);
    std::string verb, target;
    in >> verb;
    if (verb.empty())
        return "empty fault command";

    if (verb == "clear") {
        in >> target;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_rules.erase(std::remove_if(m_rules.begin(), m_rules.end(),
                                     [&](const Rule &r) { return target.empty() || r.op == target; }),
                      m_rules.end());
        m_changed.notify_all();
        return {};
    }

    if (!(in >> target))
        return "fault " + verb + ": operation missing";
    Rule rule{};
    const auto at = target.find('@');
    rule.op = target.substr(0, at);
    if (at != std::string::npos)
        rule.name = target.substr(at + 1);
    if (rule.op.empty())
        return "fault " + verb + ": operation missing";

    if (verb == "delay") {
        rule.action = Action::Delay;
        std::string ms;
        in >> ms;
        try {
            std::size_t used = 0;
            rule.delayMs = std::stoi(ms, &used);
            if (used != ms.size() || rule.delayMs < 0)
                throw std::invalid_argument(ms);
        } catch (const std::exception &) {
            return "fault delay: milliseconds expected, got '" + ms + "'";
        }
    } else if (verb == "hang") {
        rule.action = Action::Hang;
    } else if (verb == "raise") {
        rule.action = Action::Raise;
        in >> rule.exception;
        if (std::find(m_exceptions.begin(), m_exceptions.end(), rule.exception) == m_exceptions.end()) {
            std::string known;
            for (const auto &e : m_exceptions)
                known += (known.empty() ? "" : " ") + e;
            return "fault raise: unknown exception '" + rule.exception + "' (known: " + known + ")";
        }
        std::getline(in >> std::ws, rule.reason);
    } else {
        return "unknown fault '" + verb + "' (delay, hang, raise, clear)";
    }

    std::string extra;
    if (rule.action != Action::Raise && (in >> extra))
        return "fault " + verb + ": unexpected '" + extra + "'";

    std::lock_guard<std::mutex> lock(m_mutex);
    rule.id = m_nextId++;
    m_rules.push_back(rule);
    m_changed.notify_all();
    return {};
}

const FaultInjector::Rule *FaultInjector::match(const std::string &op, const std::string &name) const
{
    // The latest matching rule wins, so a new fault overrides an older one.
    for (auto it = m_rules.rbegin(); it != m_rules.rend(); ++it) {
        if ((it->op == "*" || it->op == op) && (it->name.empty() || it->name == name))
            return &*it;
    }
    return nullptr;
}

bool FaultInjector::present(std::uint64_t id) const
{
    return std::any_of(m_rules.begin(), m_rules.end(), [id](const Rule &r) { return r.id == id; });
}

std::optional<FaultInjector::Raise> FaultInjector::apply(const std::string &op, const std::string &name)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_rules.empty() || m_released)
        return std::nullopt;
    const Rule *rule = match(op, name);
    if (!rule)
        return std::nullopt;
    const std::uint64_t id = rule->id;
    switch (rule->action) {
    case Action::Delay:
        m_changed.wait_for(lock, std::chrono::milliseconds(rule->delayMs), [&] { return m_released; });
        return std::nullopt;
    case Action::Hang:
        m_changed.wait(lock, [&] { return m_released || !present(id); });
        return std::nullopt;
    case Action::Raise:
        return Raise{rule->exception, rule->reason};
    }
    return std::nullopt;
}

void FaultInjector::releaseAll()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_released = true;
    m_changed.notify_all();
}

std::vector<std::string> FaultInjector::describe() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> out;
    for (const Rule &r : m_rules) {
        std::string target = r.op + (r.name.empty() ? "" : "@" + r.name);
        switch (r.action) {
        case Action::Delay:
            out.push_back("delay " + target + " " + std::to_string(r.delayMs));
            break;
        case Action::Hang:
            out.push_back("hang " + target);
            break;
        case Action::Raise:
            out.push_back("raise " + target + " " + r.exception + (r.reason.empty() ? "" : " " + r.reason));
            break;
        }
    }
    return out;
}
}
