#include "calllog.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace services
{
namespace
{
class OutputWriter
{
public:
    OutputWriter()
        : m_thread([this] { run(); })
    {
    }

    ~OutputWriter()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

    void push(const std::string &line)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        // A reader that stopped reading slows the servers down, as a full
        // pipe did when every call wrote for itself, instead of growing this.
        m_changed.wait(lock, [&] { return m_pending.size() < kMaxPending || m_stopping; });
        m_pending += line;
        m_pending += '\n';
        ++m_pushed;
        m_changed.notify_all();
    }

    void flush()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const unsigned long long target = m_pushed;
        m_changed.wait(lock, [&] { return m_written >= target || m_stopping; });
    }

private:
    static constexpr std::size_t kMaxPending = 1 << 20;

    void run()
    {
        std::string batch;
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [&] { return !m_pending.empty() || m_stopping; });
            if (m_pending.empty())
                return;
            batch.swap(m_pending);
            const unsigned long long upTo = m_pushed;
            m_changed.notify_all(); // room again for blocked writers
            lock.unlock();
            std::fwrite(batch.data(), 1, batch.size(), stdout);
            std::fflush(stdout);
            batch.clear();
            lock.lock();
            m_written = upTo;
            m_changed.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_pending;
    unsigned long long m_pushed = 0;
    unsigned long long m_written = 0;
    bool m_stopping = false;
    std::thread m_thread;
};

OutputWriter &writer()
{
    static OutputWriter w;
    return w;
}
}

void printLine(const std::string &line)
{
    writer().push(line);
}

void flushOutput()
{
    writer().flush();
}

void CallLog::call(const std::string &op, const std::string &args, const std::string &outcome) const
{
    if (m_quiet)
        return;
    std::string line = "CALL " + op;
    if (!args.empty()) {
        line += " ";
        if (args.size() > kArgumentBytes)
            line.append(args, 0, kArgumentBytes).append("...(" + std::to_string(args.size()) + " bytes)");
        else
            line += args;
    }
    line += " -> " + outcome;
    printLine(line);
}
}
