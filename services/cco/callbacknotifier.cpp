#include "callbacknotifier.h"

#include <algorithm>

namespace services
{
CallbackNotifier::CallbackNotifier(std::size_t maxQueued, CallLog &log, DeadTarget dead)
    : m_maxQueued(maxQueued)
    , m_log(log)
    , m_dead(std::move(dead))
    , m_thread([this] { run(); })
{
}

CallbackNotifier::~CallbackNotifier()
{
    stop();
}

void CallbackNotifier::post(unsigned long id, CCO::Callback_ptr target, CCO::NotificationKind kind,
                            const std::string &name)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping)
            return;
        if (m_queue.size() >= m_maxQueued) {
            // Reported at 1, 10, 100, ...: the count matters, not every loss.
            unsigned long power = 1;
            const unsigned long count = ++m_dropped;
            while (power < count && power <= 1000000000UL)
                power *= 10;
            if (power == count)
                printLine("LIMIT callback-queue dropped " + std::to_string(count) + " notification(s) so far (limit " +
                          std::to_string(m_maxQueued) + " queued)");
            return;
        }
        m_queue.push_back({id, CCO::Callback::_duplicate(target), kind, name});
    }
    m_wake.notify_one();
}

void CallbackNotifier::stop()
{
    std::deque<Notification> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        dropped.swap(m_queue);
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

unsigned long CallbackNotifier::dropped() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dropped;
}

void CallbackNotifier::run()
{
    for (;;) {
        Notification n;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
            if (m_stopping)
                return;
            n = std::move(m_queue.front());
            m_queue.pop_front();
        }
        const std::string args = std::to_string(n.id) + " " + n.name;
        try {
            n.target->notify(n.kind, n.name.c_str());
            m_log.call("notify", args, "sent");
        } catch (const CORBA::SystemException &e) {
            m_log.call("notify", args, std::string(e._name()) + ", dropped");
            {
                // Whatever else waits for that target would only time out too.
                std::lock_guard<std::mutex> lock(m_mutex);
                m_queue.erase(std::remove_if(m_queue.begin(), m_queue.end(),
                                             [&](const Notification &q) { return q.id == n.id; }),
                              m_queue.end());
            }
            m_dead(n.id);
        }
    }
}
}
