#include "ccoregistration.h"

#include "drivertrace.h"
#include "orbconnection.h"
#include "registrationtuning.h"

#include <QCoreApplication>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <functional>

namespace externalCCODriver
{
namespace
{
enum State { WaitingForOrb = 0, WaitingForCCO = 1, Working = 2, GivenUp = 3 };

constexpr int RetryIntervalMs = 3000;
constexpr int AttemptLimit = 10;

std::atomic<int> retryIntervalOverride {0};

QMutex startHookMutex;
std::function<void(CCORegistration *)> &startHook()
{
    static std::function<void(CCORegistration *)> hook;
    return hook;
}
}

void CCORegistration::registerAtCCO(const QString &path, const QStringList &values)
{
    startRequest(QStringLiteral("CCORegistrationThread_register"), new CCORegistration(true, path, values));
}

void CCORegistration::unregisterFromCCO(const QString &path)
{
    startRequest(QStringLiteral("CCORegistrationThread_unregister"), new CCORegistration(false, path, QStringList()));
}

void CCORegistration::startRequest(const QString &threadName, CCORegistration *request)
{
    // The thread object stays with the caller's thread: its quit and its
    // deleteLater are delivered there. The object deletes itself on the
    // request's thread, with its retry timer.
    auto *thread = new QThread();
    thread->setObjectName(threadName);
    // A caller that runs no event loop (a plain thread, a task of the pool)
    // would never deliver them, so the thread object goes to the
    // application's thread instead.
    QThread *caller = QThread::currentThread();
    if (caller->loopLevel() == 0 && QCoreApplication::instance() && caller != QCoreApplication::instance()->thread())
        thread->moveToThread(QCoreApplication::instance()->thread());
    request->moveToThread(thread);
    connect(request, "2finished()", thread, "1quit()");
    connect(request, "2finished()", request, "1deleteLater()");
    connect(thread, "2finished()", thread, "1deleteLater()");
    connect(thread, "2started()", request, "1start()");
    // The quit above waits for the caller's (or the application's) thread to
    // get round to it; the object's deletion, in the request's own loop, ends
    // that loop at once, so the thread never outlives the work.
    connect(request, &QObject::destroyed, thread, &QThread::quit, Qt::DirectConnection);
    thread->start(QThread::InheritPriority);
}

CCORegistration::CCORegistration(bool doRegister, const QString &path, const QStringList &values)
    : QObject(nullptr)
    , retryInterval(retryIntervalOverride.load() > 0 ? retryIntervalOverride.load() : RetryIntervalMs)
    , attemptLimit(AttemptLimit)
    , doRegister(doRegister)
    , attempts(0)
    , path(path)
    , values(values)
    , retryTimer(nullptr)
    , orbConnection(nullptr)
    , state(WaitingForOrb)
{
}

CCORegistration::~CCORegistration() = default;

void tuning::setRegistrationRetryInterval(int msec)
{
    retryIntervalOverride.store(msec);
}

void tuning::setRegistrationStartHook(std::function<void(CCORegistration *)> hook)
{
    QMutexLocker locker(&startHookMutex);
    startHook() = std::move(hook);
}

void CCORegistration::start()
{
    orbConnection = ORBConnection::instance();
    retryTimer = new QTimer(this);
    retryTimer->setInterval(retryInterval);
    retryTimer->setSingleShot(true);
    connect(retryTimer, "2timeout()", this, "1updateState()");
    {
        QMutexLocker locker(&startHookMutex);
        if (startHook())
            startHook()(this);
    }
    updateState();
}

void CCORegistration::updateState()
{
    switch (state) {
    case WaitingForOrb:
        initORB();
        break;
    case WaitingForCCO:
        checkCCO();
        break;
    case Working: {
        // The request's thread is not the ORB's own; see CCOWatcher::queryCCO.
        omni_thread::ensure_self ownThread;
        if (doRegister)
            registerValues();
        else
            unregisterValues();
        Q_EMIT finished();
        break;
    }
    case GivenUp:
        Q_EMIT finished();
        break;
    default:
        break;
    }
}

void CCORegistration::initORB()
{
    if (orbConnection->isOrbAvailable()) {
        state = WaitingForCCO;
        attempts = 0;
        updateState();
    } else if (attempts >= attemptLimit) {
        state = GivenUp;
        Q_EMIT finished();
    } else {
        ++attempts;
        retryTimer->start();
    }
}

void CCORegistration::checkCCO()
{
    if (orbConnection->connectToCCO()) {
        state = Working;
        updateState();
    } else if (attempts >= attemptLimit) {
        state = GivenUp;
        Q_EMIT finished();
    } else {
        ++attempts;
        retryTimer->start();
    }
}

void CCORegistration::registerValues()
{
    // Replaces whatever is registered at the path; when nothing is, the
    // removal only traces its NotFound.
    unregisterValues();

    try {
        CCO::StringList list;
        list.length(static_cast<CORBA::ULong>(values.size()));
        for (int i = 0; i < values.size(); ++i)
            list[static_cast<CORBA::ULong>(i)] = CORBA::string_dup(values.at(i).toLatin1().constData());

        CCO::IF_CCO_c_var cco = orbConnection->getCCO();
        if (CORBA::is_nil(cco)) {
            DRIVER_TRACE(QStringLiteral("CCORegistration::registerValues CCO is not reachable"));
            return;
        }
        cco->RegisterValues(path.toLatin1().constData(), list, CCO::RedundancyType(0));
    } catch (const CosNaming::NamingContext::AlreadyBound &) {
        DRIVER_TRACE(
            QStringLiteral("CCORegistration::registerValues:EXCEPTION: CosNaming::NamingContext::AlreadyBound"));
    } catch (const CosNaming::NamingContext::InvalidName &) {
        DRIVER_TRACE(
            QStringLiteral("CCORegistration::registerValues:EXCEPTION: CosNaming::NamingContext::InvalidName"));
    } catch (const CCO::IF_CCO_c_Naming::RedundancyTypeNotSupported &) {
        DRIVER_TRACE(QStringLiteral(
            "CCORegistration::registerValues:EXCEPTION: CCO::IF_CCO_c_Naming::RedundancyTypeNotSupported"));
    } catch (const CORBA::Exception &) {
        DRIVER_TRACE(QStringLiteral("CCORegistration::registerValues:EXCEPTION: CORBA::Exception"));
    } catch (...) {
        DRIVER_TRACE(QStringLiteral("CCORegistration::registerValues:EXCEPTION: unknown exception"));
    }
}

void CCORegistration::unregisterValues()
{
    try {
        CCO::IF_CCO_c_var cco = orbConnection->getCCO();
        if (CORBA::is_nil(cco)) {
            DRIVER_TRACE(QStringLiteral("CCORegistration::unregisterValues CCO is not reachable"));
            return;
        }
        cco->UnregisterValues(path.toLatin1().constData(), CCO::RedundancyType(0));
    } catch (const CosNaming::NamingContext::NotFound &) {
        DRIVER_TRACE(QStringLiteral("CCORegistration::unregisterValues:EXCEPTION: CosNaming::NamingContext::NotFound"));
    } catch (const CosNaming::NamingContext::InvalidName &) {
        DRIVER_TRACE(
            QStringLiteral("CCORegistration::unregisterValues:EXCEPTION: CosNaming::NamingContext::InvalidName"));
    } catch (const CCO::IF_CCO_c_Naming::RedundancyTypeNotSupported &) {
        DRIVER_TRACE(QStringLiteral(
            "CCORegistration::unregisterValues:EXCEPTION: CCO::IF_CCO_c_Naming::RedundancyTypeNotSupported"));
    } catch (const CORBA::Exception &) {
        DRIVER_TRACE(QStringLiteral("CCORegistration::unregisterValues:EXCEPTION: CORBA::Exception"));
    } catch (...) {
        DRIVER_TRACE(QStringLiteral("CCORegistration::unregisterValues:EXCEPTION: unknown exception"));
    }
}
}
