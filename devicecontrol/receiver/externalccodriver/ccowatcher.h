// Polls the CCO for the configuration objects that workstations registered
// under one category path in every subsystem and publishes what it finds.
#pragma once

#include "externalccodriver_export.h"

#include <QFuture>
#include <QFutureWatcher>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

#include <atomic>

class ORBConnection;

namespace externalCCODriver
{
/// Polls the CCO for the objects registered under one category path in every
/// subsystem and publishes the list whenever it changes.
///
/// Threads: the watcher lives on the thread that calls init(), which must run
/// an event loop; its timers and the future watcher run there. Every CCO
/// query runs on Qt's global thread pool, one at a time, and emits
/// resultListChanged from that pool thread, so consumers on the owner's
/// thread receive it queued.
///
/// Pace: `pollInterval` ms from the end of one query to the start of the
/// next; the first two polls wait for the ORB and the CCO, so the first list
/// comes after about three intervals. Without ORB or CCO at the start it
/// gives up for good, silently, on the (attemptLimit + 1)-th failed check in
/// a row; once polling, an unreachable CCO shows as an empty list.
///
/// \snippet watchcategory.cpp watch
class EXTERNALCCODRIVER_EXPORT CCOWatcher : public QObject
{
    Q_OBJECT

public:
    /// Pairs of an object's name (the last segment of its CCO path) and its
    /// value strings: subsystems in the CCO's order, objects in the order
    /// they were first registered. Registered as a meta-type under
    /// "externalCCODriver::CCOWatcher::CCOValuesList".
    typedef QList<QPair<QString, QStringList>> CCOValuesList;

    /// Starts nothing; see init(). `categoryPath` is relative to each
    /// subsystem, e.g. "CentralServices/Receiver/PulseAnalysis".
    CCOWatcher(int pollInterval, int attemptLimit, const QString &categoryPath, QObject *parent = nullptr);
    /// Blocks until a running query has returned. The query makes no further
    /// CCO call and publishes nothing once destruction has begun, so this
    /// waits at most for the call in flight, which the ORB's call timeout
    /// bounds. Call it on the owning thread.
    ~CCOWatcher() override;

    /// Call once, after connecting to resultListChanged, on the owning thread.
    void init();

Q_SIGNALS:
    /// Emitted from a pool thread when a poll's list differs from the one
    /// emitted last (order counts). Never emitted with an empty list before a
    /// non-empty one.
    void resultListChanged(const externalCCODriver::CCOWatcher::CCOValuesList &resultList);

protected Q_SLOTS:
    void startTimer();
    void queryCCO();

protected:
    void initCCO();
    void checkCCO();
    void updateFromCCO();
    QStringList getPathsForAllSubsystems() const;
    QStringList getRegisteredConfigObjectsPaths(const QStringList &subsystemPaths, const QString &categoryPath) const;
    QStringList resolveValues(const QString &path) const;
    void checkResults(const CCOValuesList &resultList);

private:
    void onPollTimer();

    QString categoryPath;
    ORBConnection *orbConnection;
    int pollInterval;
    int attemptLimit;
    QFuture<void> runningQuery;
    QFutureWatcher<void> queryWatcher;
    // Written only by the running query; the owner's thread reads `state`
    // only between queries.
    CCOValuesList lastResult;
    int state;
    int attempts;
    // Set by the destructor; read by the running query before each CCO call
    // and, under `publishMutex`, before it publishes.
    std::atomic<bool> stopRequested;
    QMutex publishMutex;
};
}
