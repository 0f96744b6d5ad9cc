// Registers one device for locate at the CCO under the first free of ten
// numbered names, or removes that device's registrations.
#pragma once

#include "externalccodriver_export.h"

#include <QString>
#include <QThread>

#include <atomic>

// The constructor starts the work on the object's own thread; the object
// offers nothing further. The outcome shows only in the trace and at the CCO.
class EXTERNALCCODRIVER_EXPORT CCOLocateRegistration : public QThread
{
public:
    CCOLocateRegistration(const QString &host, const QString &deviceName, const QString &deviceInfo, int port,
        const QString &namePattern, bool doRegister);
    // Grants a running registration 10 s to finish, then asks it to stop and
    // waits until the thread has ended: at most one CCO call longer.
    ~CCOLocateRegistration() override;

protected:
    void run() override;

private:
    bool Register();
    void UnregisterAllLocal();
    void UnregisterAllInvalid();
    void UnregisterIndex(int index);

    bool namePatternIsUsable() const;
    QString localName(int index) const;
    QString fullPath(int index) const;
    // Sleeps `seconds` in short slices; false when a stop was requested.
    bool sleepUnlessStopped(int seconds);
    bool stopRequested() const { return stopRequest.load(); }

    bool doRegister;
    QString host;
    QString deviceName;
    QString deviceInfo;
    QString namePattern;
    int port;
    std::atomic<bool> stopRequest;
};
