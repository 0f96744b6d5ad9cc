// The thread that refreshes the installation's state once per period and
// publishes it. The only thread of the view that waits on the CCO.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace installationview
{
class History;
class InstallationReader;
class StatePublisher;

class RefreshLoop
{
public:
    // Each refreshed state goes through `history` before it is published.
    RefreshLoop(InstallationReader &reader, StatePublisher &publisher, History &history, int periodMs);
    ~RefreshLoop(); // stops, waiting for a refresh under way (bounded by the call timeout)
    RefreshLoop(const RefreshLoop &) = delete;
    RefreshLoop &operator=(const RefreshLoop &) = delete;

    void start();
    void stop();

    // How long a refresh waits for the matrix managers and value trees it
    // asked: long enough for a few that answer, short enough that a thousand
    // switched-off receivers do not hold up what the CCO told.
    static int probeWaitMs(int periodMs);

private:
    void run();

    InstallationReader &m_reader;
    StatePublisher &m_publisher;
    History &m_history;
    const int m_periodMs;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_thread;
};
}
