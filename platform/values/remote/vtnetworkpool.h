// The network threads that every value-tree client of a process shares. Not
// part of the platform's interface.
#pragma once

#include <QtGlobal>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

namespace vtremote
{
struct Shared;
// Network threads running now (they end a while after the last client goes,
// once the call they are in returns).
extern std::atomic<int> runningNetworkThreads;

// A handful of threads poll the servers of all clients by turns, so that a
// process with a thousand clients runs no more threads than one with a few.
// A client is polled by one thread at a time. Clients whose last poll failed
// (their server hung or gone) may occupy only part of the threads, so that a
// few hung servers cannot starve the healthy ones.
class NetworkPool
{
public:
    static constexpr int MaxThreads = 8;
    static constexpr int MaxThreadsForFailingClients = 2;

    static NetworkPool &instance();

    // Owner's thread: queues the client's first poll. false when no network
    // thread runs and none could be started (thread or memory limits); the
    // client then waits until a later client gets a thread started.
    bool attach(const std::shared_ptr<Shared> &job);
    // Owner's thread: takes the client out without waiting for a poll that
    // is running; its thread finishes that call on its own.
    void detach(const std::shared_ptr<Shared> &job);
    // Polls the client as soon as a thread is free (or right after the poll
    // that runs now).
    void pollSoon(const std::shared_ptr<Shared> &job);
    // While a process has no more clients than threads, each client can have
    // its poll held at the server; beyond that, polls must answer at once.
    bool holdPolls();

private:
    NetworkPool() = default;
    void work();
    bool takeDue(std::unique_lock<std::mutex> &lock, std::shared_ptr<Shared> *job);
    void scheduleLocked(const std::shared_ptr<Shared> &job, qint64 dueMs);
    void unqueueLocked(Shared &job);

    std::mutex mutex;
    std::condition_variable wakeup;
    std::multimap<qint64, std::shared_ptr<Shared>> queue;
    int clients = 0;
    int threads = 0;
    int failingBusy = 0;
};
}
