// Sends the CCO's notifications to registered callbacks from a thread of its
// own, so that no client's call waits for somebody's callback target, however
// slow or unreachable that is. Each send is bounded by the ORB's connect and
// call timeouts; a target that fails is reported dead (its registration is
// dropped) together with everything still queued for it. The queue is
// bounded: beyond it, notifications are dropped and counted.
#pragma once

#include "calllog.h"

#include <cco.hh>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace services
{
class CallbackNotifier
{
public:
    // `dead(id)` is called on the sending thread, outside any lock here.
    using DeadTarget = std::function<void(unsigned long id)>;

    CallbackNotifier(std::size_t maxQueued, CallLog &log, DeadTarget dead);
    ~CallbackNotifier();
    CallbackNotifier(const CallbackNotifier &) = delete;
    CallbackNotifier &operator=(const CallbackNotifier &) = delete;

    void post(unsigned long id, CCO::Callback_ptr target, CCO::NotificationKind kind, const std::string &name);
    // Drops what is queued and waits for the send in progress, if any.
    void stop();
    unsigned long dropped() const;

private:
    struct Notification
    {
        unsigned long id;
        CCO::Callback_var target;
        CCO::NotificationKind kind;
        std::string name;
    };

    void run();

    const std::size_t m_maxQueued;
    CallLog &m_log;
    DeadTarget m_dead;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Notification> m_queue;
    unsigned long m_dropped = 0;
    bool m_stopping = false;
    std::thread m_thread;
};
}
