// Keeps the matrix manager's reference registered at the CCO: registers it
// once the CCO answers, checks it again and again, and registers it anew
// when the CCO lost it (a CCO restarted without state) or holds another
// reference under the name (a previous run of this matrix manager).
//
// Prints "REGISTERED <name>" after each registration and "CCO <state>" when
// the CCO's reachability changes. Every call is bounded by the ORB's call
// timeout, so stop() returns within one timeout.
#pragma once

#include <omniORB4/CORBA.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace services
{
class MatrixRegistrar
{
public:
    MatrixRegistrar(CORBA::ORB_ptr orb, std::string ccoLocation, std::string name, CORBA::Object_ptr self);
    ~MatrixRegistrar();

    // `retryMs`: pause between attempts while not registered;
    // `checkMs`: pause between checks while registered.
    void start(int retryMs, int checkMs);
    // Stops the thread; with `unregister`, removes the name at the CCO if it
    // still refers to this matrix manager.
    void stop(bool unregister);

private:
    void run();
    bool check();
    void report(const std::string &state);

    CORBA::ORB_var m_orb;
    std::string m_location;
    std::string m_name;
    CORBA::Object_var m_self;
    int m_retryMs = 500;
    int m_checkMs = 2000;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::string m_lastState;
    std::thread m_thread;
};
}
