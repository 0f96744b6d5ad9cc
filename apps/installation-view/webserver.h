// Serves the page, its state as JSON, a stream of state changes (server-sent
// events) and the history as JSON and CSV. Read-only: anything but GET and
// HEAD is refused.
#pragma once

#include <QString>

#include <atomic>
#include <memory>
#include <thread>

namespace httplib
{
class Server;
}

namespace installationview
{
class History;
class StatePublisher;

class WebServer
{
public:
    // Event streams beyond this many get 503 and the page falls back to
    // asking for the state once per period; the HTTP threads stay free for them.
    static constexpr int maxEventStreams = 8;

    WebServer(StatePublisher &publisher, const History &history, int refreshMs);
    ~WebServer();
    WebServer(const WebServer &) = delete;
    WebServer &operator=(const WebServer &) = delete;

    // Binds (port 0: any free port); the port bound, or -1 with `error` set.
    int bind(const QString &host, int port, QString *error);
    // Serves on a thread of its own until stop().
    void start();
    void stop();

private:
    void route();
    bool hostAllowed(const std::string &hostHeader) const;

    StatePublisher &m_publisher;
    const History &m_history;
    const int m_refreshMs;
    std::unique_ptr<httplib::Server> m_server;
    QString m_host;
    int m_port = 0;
    std::atomic<int> m_eventStreams {0};
    std::thread m_thread;
};
}
