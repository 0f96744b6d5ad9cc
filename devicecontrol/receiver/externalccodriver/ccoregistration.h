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
// Instances exist only through the two entry points: each makes a thread and
// an object that wait (bounded) for the ORB and the CCO, make one CCO call and
// then delete themselves. The object is touched only on its own thread.
class EXTERNALCCODRIVER_EXPORT CCORegistration : public QObject
{
    Q_OBJECT

public:
    static void registerAtCCO(const QString &path, const QStringList &values);
    static void unregisterFromCCO(const QString &path);

Q_SIGNALS:
    // Emitted once per request, whatever its outcome.
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
