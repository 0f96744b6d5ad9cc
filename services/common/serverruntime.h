// What both servers do around their servants: bring the ORB up on a fixed
// endpoint, publish a servant under a fixed object key so that a corbaloc
// reaches it, print the READY line, take commands from stdin and stop
// cleanly on SIGINT/SIGTERM.
#pragma once

#include "faultinjector.h"
#include "resourcelimits.h"

#include <omniORB4/CORBA.h>

#include <functional>
#include <string>
#include <vector>

namespace services
{
class ServerRuntime
{
public:
    // Must run before any thread exists, so that every thread (the ORB's
    // included) inherits the blocked SIGINT/SIGTERM and only the control
    // loop receives them.
    static void blockStopSignals();

    explicit ServerRuntime(std::string program);
    ~ServerRuntime();

    // `host` is the address to listen on and to publish ("0.0.0.0": all
    // interfaces); `port` 0 picks a free one. Returns an error text.
    std::string start(const std::string &host, int port, int callTimeoutMs, int connectTimeoutMs,
                      const ResourceLimits &limits = {});

    CORBA::ORB_ptr orb() const { return m_orb.in(); }
    PortableServer::POA_ptr rootPoa() const { return m_rootPoa.in(); }

    // Activates `servant` under the object key `key`; returns its corbaloc
    // ("corbaloc::HOST:PORT/KEY") and remembers the actual port.
    std::string publish(PortableServer::Servant servant, const std::string &key);
    // The reference of an object published under `key`.
    CORBA::Object_ptr reference(const std::string &key) const;
    int port() const { return m_port; }
    const std::string &host() const { return m_host; }

    // Prints "READY <corbaloc>", then serves until SIGINT/SIGTERM or "quit".
    // Each stdin line "fault ..." goes to `faults`; any other line goes to
    // `command`, which returns an error text ("" = done) or "?" for an
    // unknown command. Every command is answered with "OK <line>" or
    // "ERROR <line>: <reason>".
    void run(const std::string &corbaloc, FaultInjector &faults,
             const std::function<std::string(const std::string &)> &command);

    // Called by run() once a stop was asked for, before the ORB goes down.
    void setBeforeShutdown(std::function<void()> fn) { m_beforeShutdown = std::move(fn); }
    // Called by stop() once no call runs any more, before the ORB is
    // destroyed: the last moment to release object references.
    void setBeforeDestroy(std::function<void()> fn) { m_beforeDestroy = std::move(fn); }

    // Deactivates everything and destroys the ORB; waits for running calls.
    void stop();

private:
    std::string m_program;
    std::string m_host;
    int m_port = 0;
    CORBA::ORB_var m_orb;
    PortableServer::POA_var m_rootPoa;
    PortableServer::POA_var m_insPoa;
    std::vector<std::string> m_argStorage;
    std::function<void()> m_beforeShutdown;
    std::function<void()> m_beforeDestroy;
};

// Splits "a,b,c" into its non-empty pieces.
std::vector<std::string> splitList(const std::string &text);
}
