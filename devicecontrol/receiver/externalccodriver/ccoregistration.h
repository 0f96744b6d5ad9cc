// Registers value strings at one CCO path, or removes them, on a short-lived
// thread of its own per request, so that the caller never blocks on the CCO.
#pragma once

#include "externalccodriver_export.h"

#include <QObject>
#include <QString>
#include <QStringList>

class ORBConnection;
class QTimer;

namespace externalCCODriver
{
/// Registers a value list at a CCO path, or removes it, without blocking the
/// caller.
///
/// Instances exist only through the two entry points: each makes a thread and
/// an object that wait (bounded) for the ORB and the CCO, make one CCO call and
/// then delete themselves. The object is touched only on its own thread.
/// Waiting checks the ORB, then the CCO, every 3000 ms and gives up silently
/// after 11 failed checks of either. Nothing is reported to the caller: a
/// failure shows only in the trace, a success only at the CCO.
///
/// \snippet registervalues.cpp register
class EXTERNALCCODRIVER_EXPORT CCORegistration : public QObject
{
    Q_OBJECT

public:
    /// Replaces whatever is registered at `path` with `values` (both sent as
    /// Latin-1). Returns at once; may be called on any thread. Requests are
    /// independent, so two for the same path may reach the CCO in either
    /// order.
    static void registerAtCCO(const QString &path, const QStringList &values);
    /// Removes what is registered at `path`. Returns at once, as
    /// registerAtCCO().
    static void unregisterFromCCO(const QString &path);

Q_SIGNALS:
    /// Emitted once per request, whatever its outcome.
    void finished();

public Q_SLOTS:
    void start();

protected Q_SLOTS:
    void updateState();

protected:
    CCORegistration(bool doRegister, const QString &path, const QStringList &values);
    ~CCORegistration() override;

    void initORB();
    void checkCCO();
    void registerValues();
    void unregisterValues();

private:
    static void startRequest(const QString &threadName, CCORegistration *request);

    int retryInterval;
    int attemptLimit;
    bool doRegister;
    int attempts;
    QString path;
    QStringList values;
    QTimer *retryTimer;
    ORBConnection *orbConnection;
    int state;
};
}
