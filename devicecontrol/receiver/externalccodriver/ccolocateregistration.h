// Registers one device for locate at the CCO under the first free of ten
// numbered names, or removes that device's registrations.
#pragma once

#include "externalccodriver_export.h"

#include <QString>
#include <QThread>

#include <atomic>

/// Registers one device for locate at the CCO under the first free of ten
/// numbered names below the own workstation, or removes that device's
/// registrations.
///
/// The constructor starts the work on the object's own thread; the object
/// offers nothing further. QThread::finished() tells that the work has ended;
/// the outcome shows only in the trace and at the CCO. Per attempt it checks
/// for the ORB and then the CCO up to 10 times, 1 s apart, waits a random 0 to
/// 5 s and then competes for a number; up to 20 attempts.
///
/// \snippet locatedevice.cpp locate
class EXTERNALCCODRIVER_EXPORT CCOLocateRegistration : public QThread
{
public:
    /// Registers `host`, "host_deviceName", `deviceInfo` and `port` under
    /// "CCO/LocalSystem/LocalSubSystem/LocalHost/" + `namePattern` with "%1"
    /// the first free number from 1 to 10; with `doRegister` false removes
    /// the entries that hold this `host` and `port` instead. Starts the
    /// thread at once.
    CCOLocateRegistration(const QString &host, const QString &deviceName, const QString &deviceInfo, int port,
        const QString &namePattern, bool doRegister);
    /// Grants a running registration 10 s to finish, then asks it to stop and
    /// waits until the thread has ended: at most one CCO call longer.
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
