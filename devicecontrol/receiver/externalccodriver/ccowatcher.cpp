#include "ccowatcher.h"

#include "drivertrace.h"
#include "orbconnection.h"
#include "qtimerhelpers.h"
#include "treepathhelpers.h"

#include <QMetaType>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <memory>

// Qt passes a query to a pool thread, and its end back to the owner's thread,
// through its own locks; ThreadSanitizer cannot see them when Qt is not built
// with it and would report the plain fields as raced. These annotations state
// that hand-over (release before a query starts and when it ends, acquire
// where the other side takes over); they are empty in other builds.
#if defined(__SANITIZE_THREAD__)
#define ECD_TSAN_ANNOTATE 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ECD_TSAN_ANNOTATE 1
#endif
#endif
#ifdef ECD_TSAN_ANNOTATE
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
#define HANDOVER_ACQUIRE(object) __tsan_acquire(object)
#define HANDOVER_RELEASE(object) __tsan_release(object)
#else
#define HANDOVER_ACQUIRE(object) static_cast<void>(object)
#define HANDOVER_RELEASE(object) static_cast<void>(object)
#endif

namespace externalCCODriver
{
namespace
{
enum State { WaitingForOrb = 0, WaitingForCCO = 1, Polling = 2, GivenUp = 3 };

const QString systemPrefix = QStringLiteral("CCO/LocalSystem/");
}

CCOWatcher::CCOWatcher(int pollInterval, int attemptLimit, const QString &categoryPath, QObject *parent)
    : QObject(parent)
    , categoryPath(categoryPath)
    , orbConnection(nullptr)
    , pollInterval(pollInterval)
    , attemptLimit(attemptLimit)
    , state(WaitingForOrb)
    , attempts(0)
    , stopRequested(false)
{
    // The list crosses threads in a queued signal; consumers that connect by
    // signature find it under this name.
    qRegisterMetaType<CCOValuesList>("externalCCODriver::CCOWatcher::CCOValuesList");
}

CCOWatcher::~CCOWatcher()
{
    // The query uses this object's members until it returns. With a slow CCO
    // and many objects its remaining calls could hold the owner's thread for
    // minutes, so it is asked to stop after the call in flight; taking the
    // lock means that a list it is publishing right now is out before this
    // goes on, and none comes after.
    {
        QMutexLocker locker(&publishMutex);
        stopRequested = true;
    }
    // A query still queued in a busy pool is cancelled: waitForFinished()
    // would otherwise run it here, on the owner's thread.
    runningQuery.cancel();
    runningQuery.waitForFinished();
    HANDOVER_ACQUIRE(this);
}

void CCOWatcher::init()
{
    orbConnection = ORBConnection::instance();
    connect(&queryWatcher, "2finished()", this, "1startTimer()");
    startTimer();
}

void CCOWatcher::startTimer()
{
    // The platform leaves a fired timer alive until its parent goes; one per
    // poll would pile up in the watcher for as long as it runs (about 640
    // bytes each, over 17,000 a day at 5 s). So each timer disposes of itself
    // once its callback has run.
    auto timer = std::make_shared<QTimer *>(nullptr);
    *timer = QTimerHelpers::singleShot(pollInterval, [this, timer] {
        (*timer)->deleteLater();
        onPollTimer();
    });
    // A pending timer must die with the watcher, so that its callback never
    // runs on a destroyed object.
    (*timer)->setParent(this);
}

void CCOWatcher::onPollTimer()
{
    HANDOVER_ACQUIRE(this);
    if (state == GivenUp)
        return;
    runningQuery.waitForFinished();
    HANDOVER_RELEASE(this);
    runningQuery = QtConcurrent::run(QThreadPool::globalInstance(), this, &CCOWatcher::queryCCO);
    if (queryWatcher.future() != runningQuery)
        queryWatcher.setFuture(runningQuery);
}

void CCOWatcher::queryCCO()
{
    // Pool threads are not the ORB's own; this gives the ORB a thread record
    // for the query and frees it when the query ends.
    omni_thread::ensure_self ownThread;
    HANDOVER_ACQUIRE(this);
    // An exception leaving the task would be stored in the future and thrown
    // again on the owner's thread by the next waitForFinished().
    try {
        switch (state) {
        case WaitingForOrb:
            initCCO();
            break;
        case WaitingForCCO:
            checkCCO();
            break;
        case Polling:
            updateFromCCO();
            break;
        default:
            break;
        }
    } catch (const std::exception &e) {
        DRIVER_TRACE(QStringLiteral("CCOWatcher::queryCCO: exception: %1").arg(QString::fromLocal8Bit(e.what())));
    } catch (...) {
        DRIVER_TRACE(QStringLiteral("CCOWatcher::queryCCO: unknown exception"));
    }
    HANDOVER_RELEASE(this);
}

void CCOWatcher::initCCO()
{
    if (orbConnection->isOrbAvailable()) {
        state = WaitingForCCO;
        attempts = 0;
    } else if (attempts >= attemptLimit) {
        state = GivenUp;
    } else {
        ++attempts;
    }
}

void CCOWatcher::checkCCO()
{
    if (orbConnection->connectToCCO()) {
        state = Polling;
    } else if (attempts >= attemptLimit) {
        state = GivenUp;
    } else {
        ++attempts;
    }
}

void CCOWatcher::updateFromCCO()
{
    const QStringList subsystemPaths = getPathsForAllSubsystems();
    const QStringList objectPaths = getRegisteredConfigObjectsPaths(subsystemPaths, categoryPath);

    CCOValuesList resultList;
    for (const QString &objectPath : objectPaths) {
        if (stopRequested)
            return;
        const QStringList values = resolveValues(objectPath);
        const QString name = objectPath.split(QLatin1Char('/'), Qt::KeepEmptyParts, Qt::CaseSensitive).last();
        resultList.append(qMakePair(name, values));
    }
    checkResults(resultList);
}

QStringList CCOWatcher::getPathsForAllSubsystems() const
{
    QStringList paths;
    if (stopRequested)
        return paths;
    try {
        CCO::IF_CCO_c_var cco = orbConnection->getCCO();
        if (CORBA::is_nil(cco)) {
            DRIVER_TRACE(QStringLiteral("CCOWatcher::getPathsForAllSubsystems: CCO is not reachable"));
            return paths;
        }
        CCO::StringList_var subsystems = cco->GetSubSystems();
        for (CORBA::ULong i = 0; i < subsystems->length(); ++i) {
            paths.append(TreePathHelpers::concatTreePaths(
                systemPrefix + QStringLiteral("SubSystems"), QString(static_cast<const char *>(subsystems[i]))));
        }
        // A CCO without subsystems still has the local one.
        if (subsystems->length() == 0)
            paths.append(systemPrefix + QStringLiteral("LocalSubSystem"));
    } catch (const CORBA::Exception &) {
        DRIVER_TRACE(QStringLiteral("CCOWatcher::getPathsForAllSubsystems:Exception: CORBA::Exception"));
    } catch (...) {
        DRIVER_TRACE(QStringLiteral("CCOWatcher::getPathsForAllSubsystems:Exception: unknown exception"));
    }
    return paths;
}

QStringList CCOWatcher::getRegisteredConfigObjectsPaths(
    const QStringList &subsystemPaths, const QString &categoryPath) const
{
    QStringList objectPaths;
    for (const QString &subsystemPath : subsystemPaths) {
        const QString base = TreePathHelpers::concatTreePaths(subsystemPath, categoryPath);
        const QStringList names = resolveValues(base);
        for (const QString &name : names)
            objectPaths.append(TreePathHelpers::concatTreePaths(base, name));
    }
    return objectPaths;
}

QStringList CCOWatcher::resolveValues(const QString &path) const
{
    QStringList values;
    if (stopRequested)
        return values;
    const QString ccoPath = path.startsWith(QLatin1Char('/')) ? path.mid(1) : path;
    try {
        CCO::IF_CCO_c_var cco = orbConnection->getCCO();
        if (CORBA::is_nil(cco)) {
            DRIVER_TRACE(QStringLiteral("CCOWatcher::resolveValues: CCO is not reachable"));
            return values;
        }
        CCO::StringList_var result = cco->ResolveValues(ccoPath.toLatin1().constData(), CCO::ResolveMode(0));
        for (CORBA::ULong i = 0; i < result->length(); ++i)
            values.append(QString(static_cast<const char *>(result[i])));
    } catch (const CosNaming::NamingContext::NotFound &) {
        DRIVER_TRACE(QStringLiteral("CCOWatcher::resolveValues: NamingContext notFound Exception"));
    } catch (const CosNaming::NamingContext::InvalidName &) {
        DRIVER_TRACE(QStringLiteral("CCOWatcher::resolveValues: InvalidName Exception"));
    } catch (const CORBA::Exception &) {
        DRIVER_TRACE(QStringLiteral("CCOWatcher::resolveValues: CCO exception while resolving values."));
    } catch (...) {
        DRIVER_TRACE(QStringLiteral("CCOWatcher::resolveValues: unknown exception while resolving values."));
    }
    return values;
}

void CCOWatcher::checkResults(const CCOValuesList &resultList)
{
    if (resultList.isSharedWith(lastResult))
        return;
    // Order counts: a reordering is published as a change.
    if (resultList == lastResult)
        return;
    // A stopped query has skipped calls, so its list is not what the CCO
    // holds.
    QMutexLocker locker(&publishMutex);
    if (stopRequested)
        return;
    lastResult = resultList;
    Q_EMIT resultListChanged(lastResult);
}
}
