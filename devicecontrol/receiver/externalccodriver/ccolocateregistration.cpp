#include "ccolocateregistration.h"

#include "drivertrace.h"
#include "orbconnection.h"
#include "registrationtuning.h"

#include <QByteArray>
#include <QList>
#include <QRegularExpression>

#include <cstdlib>

namespace
{
constexpr int IndexCount = 10;
constexpr int MaxAttempts = 20;
constexpr int AvailabilityChecks = 10;
constexpr int MaxRandomDelaySeconds = 5;
constexpr int SleepSliceMs = 50;
constexpr unsigned long GrantedMs = 10000;

const QString localHostPrefix = QStringLiteral("CCO/LocalSystem/LocalSubSystem/LocalHost/");

std::atomic<int> secondOverrideMs {0};

// What QString::arg() takes for a placeholder, "%L1" included.
const QRegularExpression &placeholderPattern()
{
    static const QRegularExpression placeholder(QStringLiteral("%L?(\\d\\d?)"));
    return placeholder;
}

int secondMs()
{
    const int override = secondOverrideMs.load();
    return override > 0 ? override : 1000;
}
}

CCOLocateRegistration::CCOLocateRegistration(const QString &host, const QString &deviceName, const QString &deviceInfo,
    int port, const QString &namePattern, bool doRegister)
    : QThread(nullptr)
    , doRegister(doRegister)
    , host(host)
    , deviceName(deviceName)
    , deviceInfo(deviceInfo)
    , namePattern(namePattern)
    , port(port)
    , stopRequest(false)
{
    start(QThread::InheritPriority);
}

// quit() has no event loop to end in run(), so the 10 s wait is the time a
// registration is granted to finish; one that does is not disturbed. Only then
// is the thread asked to stop: every loop of run() looks at the request
// before each CCO call and during its sleeps (slept in 50 ms slices), so it
// ends after the call in flight, which the ORB's call timeout bounds. The
// thread must have ended before the object goes: destroying a running QThread
// aborts the process, and a thread left running would read a destroyed
// object.
CCOLocateRegistration::~CCOLocateRegistration()
{
    quit();
    if (!wait(GrantedMs)) {
        stopRequest.store(true);
        wait();
    }
}

void externalCCODriver::tuning::setLocateRegistrationSecond(int msec)
{
    secondOverrideMs.store(msec);
}

void CCOLocateRegistration::run()
{
    // The pattern is the creator's to choose; a doubtful one is pointed out,
    // not refused, and the work runs with the names it gives.
    if (!namePatternIsUsable()) {
        DRIVER_TRACE(QStringLiteral("CCOLocateRegistration::run: warning: name pattern \"") + namePattern
            + QStringLiteral("\" should hold %1 once and name an entry below the own workstation; its entries may "
                             "share one name or not read back"));
    }
    // This thread is not the ORB's own; the ORB keeps a record of it while
    // it calls and frees it when run() ends.
    omni_thread::ensure_self ownThread;
    if (doRegister)
        Register();
    else
        UnregisterAllLocal();
}

// Without exactly one %1 the ten numbers do not get ten names; a name that
// starts with "CCO/" is registered there but looked up below the own
// workstation, where it is never found.
bool CCOLocateRegistration::namePatternIsUsable() const
{
    int placeholders = 0;
    bool onlyFirst = true;
    for (auto it = placeholderPattern().globalMatch(namePattern); it.hasNext();) {
        ++placeholders;
        onlyFirst = onlyFirst && it.next().capturedRef(1) == QLatin1String("1");
    }
    const QString relative = namePattern.startsWith(QLatin1Char('/')) ? namePattern.mid(1) : namePattern;
    return placeholders == 1 && onlyFirst && !relative.startsWith(QLatin1String("CCO/"));
}

QString CCOLocateRegistration::localName(int index) const
{
    // arg() would give the pattern unchanged too, but with a runtime warning
    // on every one of the many calls.
    if (!namePattern.contains(placeholderPattern()))
        return namePattern;
    return namePattern.arg(index);
}

QString CCOLocateRegistration::fullPath(int index) const
{
    return localHostPrefix + localName(index);
}

bool CCOLocateRegistration::sleepUnlessStopped(int seconds)
{
    int remainingMs = seconds * secondMs();
    while (remainingMs > 0) {
        if (stopRequested())
            return false;
        const int slice = qMin(remainingMs, SleepSliceMs);
        QThread::msleep(static_cast<unsigned long>(slice));
        remainingMs -= slice;
    }
    return !stopRequested();
}

namespace
{
// Strings travel as Latin-1; comparing the bytes that come back with the
// Latin-1 bytes of ours keeps an entry recognisable whatever its characters.
QList<QByteArray> toList(const CCO::StringList &strings)
{
    QList<QByteArray> list;
    for (CORBA::ULong i = 0; i < strings.length(); ++i)
        list.append(QByteArray(static_cast<const char *>(strings[i])));
    return list;
}
}

bool CCOLocateRegistration::Register()
{
    const QList<QByteArray> registration {host.toLatin1(), QStringLiteral("%1_%2").arg(host, deviceName).toLatin1(),
        deviceInfo.toLatin1(), QByteArray::number(port)};
    CCO::StringList ccoValues;
    ccoValues.length(static_cast<CORBA::ULong>(registration.size()));
    for (int i = 0; i < registration.size(); ++i)
        ccoValues[static_cast<CORBA::ULong>(i)] = CORBA::string_dup(registration.at(i).constData());

    const auto abandoned = [this] {
        DRIVER_TRACE(
            QStringLiteral("CCOLocateRegistration::Register: stop requested, registration of %1 abandoned").arg(host));
        return false;
    };

    try {
        for (int attempt = 0; attempt < MaxAttempts; ++attempt) {
            ORBConnection *orbConnection = ORBConnection::instance();
            if (!orbConnection)
                return false;

            for (int check = 1; check <= AvailabilityChecks && !orbConnection->isOrbAvailable(); ++check) {
                if (check < AvailabilityChecks && !sleepUnlessStopped(1))
                    return abandoned();
            }
            if (stopRequested())
                return abandoned();
            for (int check = 1; check <= AvailabilityChecks && !orbConnection->connectToCCO(); ++check) {
                if (check < AvailabilityChecks && !sleepUnlessStopped(1))
                    return abandoned();
            }
            // Registrars that start together on several workstations spread
            // out before they compete for the numbers.
            if (!sleepUnlessStopped(rand() % (MaxRandomDelaySeconds + 1)))
                return abandoned();

            UnregisterAllLocal();
            if (stopRequested())
                return abandoned();
            UnregisterAllInvalid();
            if (stopRequested())
                return abandoned();

            int freeIndex = 0;
            for (int i = 1; i <= IndexCount && freeIndex == 0; ++i) {
                if (stopRequested())
                    return abandoned();
                CCO::StringList_var entry
                    = orbConnection->getCCO()->ResolveValues(fullPath(i).toLatin1().constData(), CCO::ResolveMode(0));
                if (entry->length() == 0)
                    freeIndex = i;
            }
            if (freeIndex == 0)
                continue;

            if (stopRequested())
                return abandoned();
            orbConnection->getCCO()->RegisterValues(
                localName(freeIndex).toLatin1().constData(), ccoValues, CCO::RedundancyType(0));
            // Left as it is: most likely it stands as registered.
            if (stopRequested())
                return abandoned();
            CCO::StringList_var readBack = orbConnection->getCCO()->ResolveValues(
                fullPath(freeIndex).toLatin1().constData(), CCO::ResolveMode(0));
            if (toList(readBack.in()) == registration) {
                // One arg() call, so that a "%" in the device's strings is
                // never taken for a placeholder still to fill.
                DRIVER_TRACE(QStringLiteral("Successfully registered device for locate %1, %2, %3, %4, %5")
                                 .arg(host, deviceName, deviceInfo, QString::number(port), QString::number(freeIndex)));
                return true;
            }
            // Someone else's entry went in between; leave the number and
            // compete again.
            if (stopRequested())
                return abandoned();
            UnregisterIndex(freeIndex);
        }
    } catch (const CORBA::UserException &) {
        DRIVER_TRACE(QStringLiteral("CORBA::UserException"));
    } catch (const CORBA::SystemException &) {
        DRIVER_TRACE(QStringLiteral("CORBA::SystemException"));
    } catch (...) {
        DRIVER_TRACE(QStringLiteral("unknown Exception"));
    }
    return false;
}

void CCOLocateRegistration::UnregisterAllLocal()
{
    ORBConnection *orbConnection = ORBConnection::instance();
    if (!orbConnection) {
        DRIVER_TRACE(QStringLiteral(" - Error unregistering values at CCO"));
        return;
    }
    const QByteArray ownHost = host.toLatin1();
    const QByteArray ownPort = QByteArray::number(port);
    // Within a registration, Register reports the stop.
    const auto stopped = [this] {
        if (!stopRequested())
            return false;
        if (!doRegister) {
            DRIVER_TRACE(QStringLiteral("CCOLocateRegistration::UnregisterAllLocal: stop requested, removal for %1 "
                                        "abandoned")
                             .arg(host));
        }
        return true;
    };
    try {
        for (int i = 1; i <= IndexCount; ++i) {
            if (stopped())
                return;
            CCO::StringList_var entry
                = orbConnection->getCCO()->ResolveValues(fullPath(i).toLatin1().constData(), CCO::ResolveMode(0));
            const QList<QByteArray> strings = toList(entry.in());
            // The port is compared as text: "0080" is not port 80.
            if (strings.size() == 4 && strings.at(0) == ownHost && strings.at(3) == ownPort) {
                if (stopped())
                    return;
                orbConnection->getCCO()->UnregisterValues(localName(i).toLatin1().constData(), CCO::RedundancyType(0));
            }
        }
    } catch (...) {
        // A failing CCO call ends the removal; the numbers not yet visited
        // stay as they are and no success is reported.
        return;
    }
    DRIVER_TRACE(QStringLiteral("Successfully unregistered devices for locate %1, %2, %3, %4")
                     .arg(host, deviceName, deviceInfo, QString::number(port)));
}

void CCOLocateRegistration::UnregisterAllInvalid()
{
    ORBConnection *orbConnection = ORBConnection::instance();
    if (!orbConnection) {
        DRIVER_TRACE(QStringLiteral(" - Error unregistering values at CCO"));
        return;
    }
    try {
        for (int i = 1; i <= IndexCount && !stopRequested(); ++i) {
            CCO::StringList_var entry
                = orbConnection->getCCO()->ResolveValues(fullPath(i).toLatin1().constData(), CCO::ResolveMode(0));
            if (entry->length() != 0 && entry->length() != 4 && !stopRequested())
                orbConnection->getCCO()->UnregisterValues(localName(i).toLatin1().constData(), CCO::RedundancyType(0));
        }
    } catch (...) {
        // As in UnregisterAllLocal: the first failing call ends the sweep.
        return;
    }
}

void CCOLocateRegistration::UnregisterIndex(int index)
{
    ORBConnection *orbConnection = ORBConnection::instance();
    if (!orbConnection) {
        DRIVER_TRACE(QStringLiteral(" - Error unregistering values at CCO"));
        return;
    }
    try {
        orbConnection->getCCO()->UnregisterValues(localName(index).toLatin1().constData(), CCO::RedundancyType(0));
    } catch (...) {
        // The entry stays; the next registration of this device removes it.
        return;
    }
}
