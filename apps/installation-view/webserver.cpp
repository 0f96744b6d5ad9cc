#include "webserver.h"

#include "history.h"
#include "statepublisher.h"
#include "viewsettings.h"

#include <QFile>
#include <QJsonDocument>

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

// Resources of a static library are registered by hand.
static void initPageResources()
{
    Q_INIT_RESOURCE(page);
}

namespace installationview
{
namespace
{
// Unlike an HTTP thread, the pool here is fixed: it is what bounds the
// threads that open pages and event streams can take.
constexpr int httpThreads = WebServer::maxEventStreams + 4;
// A stream sends a comment at least this often, so a dead peer is noticed.
constexpr int keepAliveMs = 10000;

std::string resource(const char *name)
{
    QFile file(QStringLiteral(":/installation-view/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        return std::string();
    const QByteArray bytes = file.readAll();
    return std::string(bytes.constData(), std::size_t(bytes.size()));
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}
}

WebServer::WebServer(StatePublisher &publisher, const History &history, int refreshMs)
    : m_publisher(publisher)
    , m_history(history)
    , m_refreshMs(refreshMs)
    , m_server(std::make_unique<httplib::Server>())
{
    initPageResources();
    route();
}

WebServer::~WebServer()
{
    stop();
}

// A page on loopback can still be reached by a web site that points its own
// name at 127.0.0.1; such a request names that site as its host.
bool WebServer::hostAllowed(const std::string &hostHeader) const
{
    if (!isLoopbackAddress(m_host))
        return true;
    const std::string port = ":" + std::to_string(m_port);
    const std::string host = lower(hostHeader);
    for (const std::string &name : std::vector<std::string> {"127.0.0.1", "localhost", "[::1]", m_host.toStdString()}) {
        if (host == name + port || host == name)
            return true;
    }
    return false;
}

void WebServer::route()
{
    httplib::Server &server = *m_server;
    server.new_task_queue = [] { return new httplib::ThreadPool(httpThreads); };
    server.set_payload_max_length(4096);
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    server.set_default_headers({{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"},
        {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"}});
    server.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
        if (req.method != "GET" && req.method != "HEAD") {
            res.status = 405;
            res.set_header("Allow", "GET, HEAD");
            res.set_content("read-only\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!hostAllowed(req.get_header_value("Host"))) {
            res.status = 403;
            res.set_content("unknown host\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    const auto file = [](const char *name, const char *type) {
        const std::string content = resource(name);
        return [content, type](const httplib::Request &, httplib::Response &res) { res.set_content(content, type); };
    };
    server.Get("/", file("index.html", "text/html; charset=utf-8"));
    server.Get("/view.js", file("view.js", "text/javascript; charset=utf-8"));
    server.Get("/view.css", file("view.css", "text/css; charset=utf-8"));
    // Browsers ask for it unbidden; an empty answer keeps their consoles clean.
    server.Get("/favicon.ico", [](const httplib::Request &, httplib::Response &res) { res.status = 204; });
    server.Get("/api/state", [this](const httplib::Request &, httplib::Response &res) {
        const QByteArray json = m_publisher.latest();
        res.set_content(std::string(json.constData(), std::size_t(json.size())), "application/json");
    });
    // ?receiver=NAME keeps that receiver's events; ?since=ID only newer ones.
    server.Get("/api/history", [this](const httplib::Request &req, httplib::Response &res) {
        const QString receiver = QString::fromStdString(req.get_param_value("receiver"));
        const quint64 since = QString::fromStdString(req.get_param_value("since")).toULongLong();
        const QByteArray json = QJsonDocument(m_history.toJson(receiver, since)).toJson(QJsonDocument::Compact);
        res.set_content(std::string(json.constData(), std::size_t(json.size())), "application/json");
    });
    server.Get("/api/history.csv", [this](const httplib::Request &req, httplib::Response &res) {
        const QByteArray csv = m_history.toCsv(QString::fromStdString(req.get_param_value("receiver")));
        res.set_header("Content-Disposition", "attachment; filename=\"installation-history.csv\"");
        res.set_content(std::string(csv.constData(), std::size_t(csv.size())), "text/csv; charset=utf-8");
    });
    server.Get("/events", [this](const httplib::Request &, httplib::Response &res) {
        if (++m_eventStreams > maxEventStreams) {
            --m_eventStreams;
            res.status = 503;
            res.set_content("too many open pages\n", "text/plain");
            return;
        }
        auto seen = std::make_shared<quint64>(0);
        res.set_header("X-Accel-Buffering", "no");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, seen](size_t, httplib::DataSink &sink) {
                quint64 version = 0;
                QByteArray json;
                if (!m_publisher.waitForNewer(*seen, keepAliveMs, &version, &json))
                    return false;
                std::string event = *seen == 0 ? "retry: " + std::to_string(m_refreshMs) + "\n" : std::string();
                if (version == *seen || json.isEmpty()) {
                    event += ": waiting\n\n";
                } else {
                    event += "data: " + std::string(json.constData(), std::size_t(json.size())) + "\n\n";
                    *seen = version;
                }
                return sink.write(event.data(), event.size());
            },
            [this](bool) { --m_eventStreams; });
    });
}

int WebServer::bind(const QString &host, int port, QString *error)
{
    m_host = host;
    const std::string address = host.toStdString();
    int bound = -1;
    if (port == 0) {
        bound = m_server->bind_to_any_port(address);
    } else if (m_server->bind_to_port(address, port)) {
        bound = port;
    }
    if (bound <= 0) {
        *error = QStringLiteral("cannot listen on %1:%2 (%3)")
                     .arg(host)
                     .arg(port)
                     .arg(QString::fromLocal8Bit(strerror(errno)));
        return -1;
    }
    m_port = bound;
    return bound;
}

void WebServer::start()
{
    if (!m_thread.joinable())
        m_thread = std::thread([this] { m_server->listen_after_bind(); });
}

void WebServer::stop()
{
    m_server->stop();
    if (m_thread.joinable())
        m_thread.join();
}
}
