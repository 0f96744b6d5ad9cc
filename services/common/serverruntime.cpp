#include "serverruntime.h"

#include "calllog.h"

#include <omniORB4/IIOP.h>
#include <omniORB4/omniIOR.h>
#include <omniORB4/omniORB.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace services
{
namespace
{
// Checks that host:port can be listened on, so that a busy port gives a
// clear message instead of the ORB's generic initialisation failure.
std::string checkBindable(const std::string &host, int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1)
        return "invalid listen address '" + host + "' (an IPv4 address is expected)";
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::string("socket: ") + std::strerror(errno);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    std::string error;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        if (errno == EADDRINUSE)
            error = "port " + std::to_string(port) + " on " + host + " is in use";
        else
            error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
    }
    ::close(fd);
    return error;
}

int iorPort(CORBA::Object_ptr obj)
{
    omniIOR *ior = obj->_PR_getobj()->_getIOR();
    int port = 0;
    const IOP::TaggedProfileList &profiles = ior->iopProfiles();
    for (CORBA::ULong i = 0; i < profiles.length() && port == 0; ++i) {
        if (profiles[i].tag != IOP::TAG_INTERNET_IOP)
            continue;
        IIOP::ProfileBody body;
        IIOP::unmarshalProfile(profiles[i], body);
        port = body.address.port;
    }
    ior->release();
    return port;
}
}

std::vector<std::string> splitList(const std::string &text)
{
    std::vector<std::string> out;
    std::string piece;
    for (char c : text + ",") {
        if (c == ',') {
            if (!piece.empty())
                out.push_back(piece);
            piece.clear();
        } else {
            piece += c;
        }
    }
    return out;
}

void ServerRuntime::blockStopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

ServerRuntime::ServerRuntime(std::string program)
    : m_program(std::move(program))
{
    // Piped stdout is fully buffered by default; the READY line must not wait.
    setvbuf(stdout, nullptr, _IOLBF, 0);
}

ServerRuntime::~ServerRuntime()
{
    stop();
}

std::string ServerRuntime::start(const std::string &host, int port, int callTimeoutMs, int connectTimeoutMs,
                                 const ResourceLimits &limits)
{
    if (port < 0 || port > 65535)
        return "port out of range: " + std::to_string(port);
    const bool anyAddress = host == "0.0.0.0";
    if (port != 0) {
        const std::string error = checkBindable(host, port);
        if (!error.empty())
            return error;
    } else {
        sockaddr_in addr{};
        if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1)
            return "invalid listen address '" + host + "' (an IPv4 address is expected)";
    }
    m_host = anyAddress ? "127.0.0.1" : host;

    const std::string endpoint =
        "giop:tcp:" + (anyAddress ? std::string() : host) + ":" + (port ? std::to_string(port) : std::string());
    m_argStorage = {m_program, "-ORBendPoint", endpoint};
    for (auto &a : orbArguments(limits, {{"clientCallTimeOutPeriod", std::to_string(callTimeoutMs)},
                                         {"clientConnectTimeOutPeriod", std::to_string(connectTimeoutMs)}}))
        m_argStorage.push_back(a);
    std::vector<char *> argv;
    for (auto &a : m_argStorage)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int argc = int(m_argStorage.size());
    try {
        m_orb = CORBA::ORB_init(argc, argv.data(), "omniORB4");
        if (argc > 1)
            return "the ORB does not know the argument '" + std::string(argv[1]) + "'";
        guardDescriptors(limits.reservedDescriptors);
        CORBA::Object_var obj = m_orb->resolve_initial_references("RootPOA");
        m_rootPoa = PortableServer::POA::_narrow(obj);
        // omniORB's INS POA activates objects under the literal key given,
        // which is what makes corbaloc::HOST:PORT/KEY work.
        obj = m_orb->resolve_initial_references("omniINSPOA");
        m_insPoa = PortableServer::POA::_narrow(obj);
        PortableServer::POAManager_var manager = m_rootPoa->the_POAManager();
        manager->activate();
        manager = m_insPoa->the_POAManager();
        manager->activate();
    } catch (const CORBA::INITIALIZE &e) {
        return std::string("cannot start the ORB on ") + host + ":" + std::to_string(port) + " (" + e._name() +
               "; port in use, or a bad -ORB argument or --orb-config setting?)";
    } catch (const CORBA::SystemException &e) {
        return std::string("cannot start the ORB on ") + host + ":" + std::to_string(port) + " (" + e._name() +
               "; port in use?)";
    }
    return {};
}

std::string ServerRuntime::publish(PortableServer::Servant servant, const std::string &key)
{
    PortableServer::ObjectId_var id = PortableServer::string_to_ObjectId(key.c_str());
    m_insPoa->activate_object_with_id(id, servant);
    CORBA::Object_var obj = m_insPoa->id_to_reference(id);
    m_port = iorPort(obj);
    return "corbaloc::" + m_host + ":" + std::to_string(m_port) + "/" + key;
}

CORBA::Object_ptr ServerRuntime::reference(const std::string &key) const
{
    PortableServer::ObjectId_var id = PortableServer::string_to_ObjectId(key.c_str());
    return m_insPoa->id_to_reference(id);
}

void ServerRuntime::run(const std::string &corbaloc, FaultInjector &faults,
                        const std::function<std::string(const std::string &)> &command)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    const int sigfd = signalfd(-1, &set, SFD_CLOEXEC);

    printLine("READY " + corbaloc);

    bool stdinOpen = true;
    std::string pending;
    for (;;) {
        pollfd fds[2] = {{sigfd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const int n = ::poll(fds, stdinOpen ? 2 : 1, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(sigfd, &info, sizeof info) > 0)
                printLine(std::string("STOPPING on ") + (info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM"));
            break;
        }
        if (!stdinOpen || !(fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        char buf[4096];
        const ssize_t got = ::read(STDIN_FILENO, buf, sizeof buf);
        if (got <= 0) {
            // No more commands can come; the server keeps serving.
            stdinOpen = false;
            continue;
        }
        pending.append(buf, size_t(got));
        bool quit = false;
        for (auto nl = pending.find('\n'); nl != std::string::npos; nl = pending.find('\n')) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
                line.pop_back();
            if (line.empty())
                continue;
            std::string error;
            if (line == "quit") {
                quit = true;
            } else if (line.rfind("fault ", 0) == 0) {
                error = faults.command(line.substr(6));
            } else if (line == "help") {
                printLine("commands: fault delay|hang|raise|clear ..., faults, quit; see --help");
                error = command(line);
                if (error == "?")
                    error.clear();
            } else if (line == "faults") {
                for (const auto &f : faults.describe())
                    printLine("FAULT " + f);
            } else {
                error = command(line);
                if (error == "?")
                    error = "unknown command (fault ..., faults, quit, help)";
            }
            printLine(error.empty() ? "OK " + line : "ERROR " + line + ": " + error);
        }
        if (quit) {
            printLine("STOPPING on quit");
            break;
        }
    }
    if (sigfd >= 0)
        ::close(sigfd);
    faults.releaseAll();
    if (m_beforeShutdown)
        m_beforeShutdown();
}

void ServerRuntime::stop()
{
    if (CORBA::is_nil(m_orb))
        return;
    m_rootPoa = PortableServer::POA::_nil();
    m_insPoa = PortableServer::POA::_nil();
    try {
        m_orb->shutdown(true);
        if (m_beforeDestroy)
            m_beforeDestroy();
        m_orb->destroy();
    } catch (const CORBA::Exception &e) {
        printLine(std::string("shutdown: ") + e._name());
    }
    m_orb = CORBA::ORB::_nil();
}
}
