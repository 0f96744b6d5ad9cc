#include "vtnetworkpool.h"

#include "vtclient.h"

#include <omniORB4/CORBA.h>

#include <chrono>
#include <system_error>
#include <thread>

namespace vtremote
{
std::atomic<int> runningNetworkThreads {0};

namespace
{
qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}

NetworkPool &NetworkPool::instance()
{
    // Never destroyed: threads that finish a last call after main() returned
    // still find it.
    static NetworkPool *pool = new NetworkPool;
    return *pool;
}

bool NetworkPool::attach(const std::shared_ptr<Shared> &job)
{
    std::lock_guard<std::mutex> lock(mutex);
    ++clients;
    job->pool.attached = true;
    scheduleLocked(job, nowMs());
    while (threads < std::min(MaxThreads, clients)) {
        try {
            std::thread([this] { work(); }).detach();
        } catch (const std::system_error &) {
            break;
        }
        ++threads;
    }
    return threads > 0;
}

void NetworkPool::detach(const std::shared_ptr<Shared> &job)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!job->pool.attached)
        return;
    job->pool.attached = false;
    --clients;
    unqueueLocked(*job);
    // A reference to the server is let go on a network thread, which has
    // the ORB's thread set-up; a job in a poll does so when the poll ends.
    if (!job->pool.polling && job->pool.holdsServer)
        scheduleLocked(job, nowMs());
    wakeup.notify_all();
}

void NetworkPool::pollSoon(const std::shared_ptr<Shared> &job)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!job->pool.attached)
        return;
    if (job->pool.polling) {
        job->pool.soon = true;
        return;
    }
    scheduleLocked(job, nowMs());
}

bool NetworkPool::holdPolls()
{
    std::lock_guard<std::mutex> lock(mutex);
    return clients <= threads;
}

void NetworkPool::scheduleLocked(const std::shared_ptr<Shared> &job, qint64 dueMs)
{
    unqueueLocked(*job);
    job->pool.queued = queue.emplace(dueMs, job);
    job->pool.inQueue = true;
    wakeup.notify_one();
}

void NetworkPool::unqueueLocked(Shared &job)
{
    if (!job.pool.inQueue)
        return;
    queue.erase(job.pool.queued);
    job.pool.inQueue = false;
}

bool NetworkPool::takeDue(std::unique_lock<std::mutex> &lock, std::shared_ptr<Shared> *job)
{
    for (;;) {
        const qint64 now = nowMs();
        qint64 nextDue = -1;
        for (auto it = queue.begin(); it != queue.end(); ++it) {
            if (it->first > now) {
                nextDue = it->first;
                break;
            }
            Shared &candidate = *it->second;
            const bool failing = candidate.pool.failures > 0 && candidate.pool.attached;
            if (failing && failingBusy >= MaxThreadsForFailingClients)
                continue;
            *job = it->second;
            queue.erase(it);
            candidate.pool.inQueue = false;
            candidate.pool.polling = true;
            candidate.pool.countedFailing = failing;
            if (failing)
                ++failingBusy;
            return true;
        }
        // More threads than clients: the spare ones go.
        if (threads > clients)
            return false;
        if (nextDue < 0)
            wakeup.wait(lock);
        else
            wakeup.wait_for(lock, std::chrono::milliseconds(std::max<qint64>(1, nextDue - now)));
    }
}

void NetworkPool::work()
{
    omni_thread::ensure_self threadForOrb;
    ++runningNetworkThreads;
    std::unique_lock<std::mutex> lock(mutex);
    std::shared_ptr<Shared> job;
    while (takeDue(lock, &job)) {
        const bool attached = job->pool.attached;
        const int failures = job->pool.failures;
        lock.unlock();
        const PollResult result = attached ? pollOnce(*job, failures) : PollResult {-1, false};
        const int nextMs = result.nextMs;
        if (nextMs < 0)
            releaseServer(*job);
        lock.lock();
        job->pool.polling = false;
        if (job->pool.countedFailing)
            --failingBusy;
        job->pool.failures = result.failed ? job->pool.failures + 1 : 0;
        job->pool.holdsServer = !CORBA::is_nil(job->net.server);
        if (job->pool.attached && nextMs >= 0)
            scheduleLocked(job, nowMs() + (job->pool.soon ? 0 : nextMs));
        else if (!job->pool.attached && job->pool.holdsServer)
            scheduleLocked(job, nowMs());
        job->pool.soon = false;
        job.reset();
    }
    --threads;
    --runningNetworkThreads;
}
}
