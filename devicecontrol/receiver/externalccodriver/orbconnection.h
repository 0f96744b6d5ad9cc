// The process-wide connection to the ORB and the CCO through which every part
// of the driver reaches them.
//
// Threads: instance() and destroyInstance() may be called from any thread;
// the other operations from any thread holding a pointer from instance().
#pragma once

#include <QString>
#include <QThread>
#include <atomic>

#include <cco.hh>

class ORBConnection : public QThread
{
public:
    // The process-wide object, constructed on the first call.
    static ORBConnection *instance();
    // Ends the process-wide object's use. Pointers taken from instance()
    // stay valid: see orbconnection.cpp for why the storage is kept.
    static void destroyInstance();

    bool isOrbAvailable();
    bool connectToCCO();
    CCO::IF_CCO_c_var getCCO();
    // The caller owns the result; `ok` is set to whether it is not nil.
    CORBA::Object_ptr resolveInterface(QString name, bool *ok);

protected:
    void run() override;

private:
    ORBConnection();
    ~ORBConnection() override;

    std::atomic<bool> orbAvailable;
};
