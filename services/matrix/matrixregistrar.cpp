#include "matrixregistrar.h"

#include "calllog.h"

#include <cco.hh>

#include <omnithread.h>

namespace services
{
MatrixRegistrar::MatrixRegistrar(CORBA::ORB_ptr orb, std::string ccoLocation, std::string name,
                                 CORBA::Object_ptr self)
    : m_orb(CORBA::ORB::_duplicate(orb))
    , m_location(std::move(ccoLocation))
    , m_name(std::move(name))
    , m_self(CORBA::Object::_duplicate(self))
{
}

MatrixRegistrar::~MatrixRegistrar()
{
    stop(false);
}

void MatrixRegistrar::start(int retryMs, int checkMs)
{
    m_retryMs = retryMs;
    m_checkMs = checkMs;
    m_thread = std::thread([this] { run(); });
}

void MatrixRegistrar::report(const std::string &state)
{
    if (state == m_lastState)
        return;
    m_lastState = state;
    printLine("CCO " + state);
}

// True when the name refers to this matrix manager after the call.
bool MatrixRegistrar::check()
{
    try {
        CORBA::Object_var obj = m_orb->string_to_object(m_location.c_str());
        // Unchecked: the first real call tells whether the CCO is there.
        CCO::IF_CCO_c_var cco = CCO::IF_CCO_c::_unchecked_narrow(obj);
        try {
            CORBA::Object_var current = cco->Resolve(m_name.c_str(), CCO::RM_Default);
            if (!CORBA::is_nil(current) && current->_is_equivalent(m_self)) {
                report("reachable");
                return true;
            }
            CORBA::Object_var old = cco->Unregister(m_name.c_str(), CCO::RT_Single);
        } catch (const CosNaming::NamingContext::NotFound &) {
            // Not registered (yet, or any more).
        } catch (const CCO::IF_CCO_c_Naming::InvalidType &) {
            // Strings are bound under the name; the object can still be.
        }
        cco->Register(m_name.c_str(), m_self, CCO::RT_Single);
        report("reachable");
        printLine("REGISTERED " + m_name);
        return true;
    } catch (const CosNaming::NamingContext::AlreadyBound &) {
        // Someone else registered meanwhile; the next check sorts it out.
        report("reachable");
    } catch (const CORBA::UserException &e) {
        report(std::string("refuses the registration: ") + e._name());
    } catch (const CORBA::SystemException &e) {
        report(std::string("not reachable: ") + e._name());
    }
    return false;
}

void MatrixRegistrar::run()
{
    omni_thread::ensure_self self;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        lock.unlock();
        const bool registered = check();
        lock.lock();
        m_wake.wait_for(lock, std::chrono::milliseconds(registered ? m_checkMs : m_retryMs),
                        [this] { return m_stopping; });
    }
}

void MatrixRegistrar::stop(bool unregister)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping && !m_thread.joinable())
            return;
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    else
        return;
    if (!unregister)
        return;
    try {
        omni_thread::ensure_self self;
        CORBA::Object_var obj = m_orb->string_to_object(m_location.c_str());
        CCO::IF_CCO_c_var cco = CCO::IF_CCO_c::_unchecked_narrow(obj);
        CORBA::Object_var current = cco->Resolve(m_name.c_str(), CCO::RM_Default);
        if (!CORBA::is_nil(current) && current->_is_equivalent(m_self)) {
            CORBA::Object_var old = cco->Unregister(m_name.c_str(), CCO::RT_Single);
            printLine("UNREGISTERED " + m_name);
        }
    } catch (const CORBA::Exception &) {
        // The CCO is gone or lost the name already: nothing to undo.
    }
}
}
