#include "destructiontimes.h"

#include "ccolocateregistration.h"
#include "ccoregistration.h"
#include "ccowatcher.h"
#include "registrationtuning.h"
#include "serverprocess.h"
#include "waituntil.h"

#include <orbhandler.h>

#include <QElapsedTimer>

#include <atomic>
#include <memory>
#include <thread>

using externalCCODriver::CCORegistration;
using externalCCODriver::CCOWatcher;

namespace discoverybench
{
namespace
{
const QString locateHost = QStringLiteral("benchHost");

CCO::IF_CCO_c_var cco()
{
    return CCO::IF_CCO_c_var(CorbaCommon::OrbHandler::Instance().GetCCO());
}

QString objectPath(const QString &categoryPath, int object)
{
    return QStringLiteral("CCO/LocalSystem/SubSystems/Sub1/%1/Rx%2").arg(categoryPath).arg(object);
}

QString locatePath(int number)
{
    return QStringLiteral("CCO/LocalSystem/LocalSubSystem/LocalHost/BenchLocate%1").arg(number);
}

QString callLine(const QString &path)
{
    return QStringLiteral("CALL ResolveValues ") + path + QLatin1Char(' ');
}

// A watcher polling every 10 ms over `objects` objects is destroyed while its
// query is held by `fault` lines; `marker` is the path whose answered call
// shows that the query has reached the held part.
DestructionRow watcherMidQuery(testsupport::ServerProcess &server, const QString &what, int callTimeoutMs,
    const QString &categoryPath, int objects, const QStringList &faults, const QString &marker)
{
    CCO::StringList values;
    values.length(1);
    values[0] = CORBA::string_dup("v");
    for (int i = 1; i <= objects; ++i)
        cco()->RegisterValues(objectPath(categoryPath, i).toLatin1().constData(), values, CCO::RT_Single);

    // Outlives the watcher, so that a list published during its destruction
    // is still counted.
    QObject receiver;
    int published = 0;
    auto *watcher = new CCOWatcher(10, 10, categoryPath);
    QObject::connect(watcher, &CCOWatcher::resultListChanged, &receiver, [&] { ++published; });
    watcher->init();
    DestructionRow row {what, -1, QString::number(callTimeoutMs + 100), QString()};
    if (!testsupport::waitUntil([&] { return published > 0; }, 10000)) {
        delete watcher;
        row.outcome = QStringLiteral("watcher found nothing");
        return row;
    }
    // A query that runs to its end publishes this change; the last object
    // stays last.
    const QByteArray last = objectPath(categoryPath, objects).toLatin1();
    cco()->UnregisterValues(last.constData(), CCO::RT_Single);
    values[0] = CORBA::string_dup("changed");
    cco()->RegisterValues(last.constData(), values, CCO::RT_Single);
    for (const QString &fault : faults)
        server.command(QStringLiteral("fault ") + fault);
    // The watcher's timers need this thread's events while it waits.
    const int from = server.lineCount();
    const bool held = testsupport::waitUntil([&] { return server.countLines(callLine(marker), from) > 0; }, 10000, 1);
    const int before = published;
    QElapsedTimer clock;
    clock.start();
    delete watcher;
    row.ms = double(clock.nsecsElapsed()) / 1e6;
    server.command(QStringLiteral("fault clear"));
    QCoreApplication::processEvents();
    row.outcome = !held      ? QStringLiteral("query not caught")
        : published > before ? QStringLiteral("a list published")
                             : QStringLiteral("nothing published");
    return row;
}

// A locate registration is destroyed once its first sweep has begun, every
// ResolveValues answered `delayMs` late.
DestructionRow locateMidRegistration(
    testsupport::ServerProcess &server, const QString &what, int callTimeoutMs, int delayMs)
{
    DestructionRow row {what, -1, QString::number(10000 + callTimeoutMs), QString()};
    server.command(QStringLiteral("fault delay ResolveValues %1").arg(delayMs));
    const int from = server.lineCount();
    auto *registration = new CCOLocateRegistration(locateHost, "Dev", "info", 7000, "BenchLocate%1", true);
    const bool begun = server.waitForLine(callLine(locatePath(1)), 60000, from) >= 0;
    QElapsedTimer clock;
    clock.start();
    delete registration;
    row.ms = double(clock.nsecsElapsed()) / 1e6;
    server.command(QStringLiteral("fault clear"));

    row.outcome = begun ? QStringLiteral("abandoned") : QStringLiteral("sweep not caught");
    for (int i = 1; i <= 10; ++i) {
        try {
            CCO::StringList_var entry = cco()->ResolveValues(locatePath(i).toLatin1().constData(), CCO::RM_Default);
            if (entry->length() == 4 && locateHost == QLatin1String(entry[0].in())) {
                row.outcome = QStringLiteral("registered");
                cco()->UnregisterValues(QStringLiteral("BenchLocate%1").arg(i).toLatin1().constData(), CCO::RT_Single);
            }
        } catch (const CORBA::Exception &) {
            // Nothing there: the number was never taken.
        }
    }
    return row;
}

// A thread without an event loop makes a request and ends; the row is the
// time until the request's object and its thread are gone.
DestructionRow requestFromThreadWithoutLoop()
{
    // Leaked on purpose: a request that never ends would otherwise touch
    // them after this function.
    auto *gone = new std::atomic<int> {0};
    externalCCODriver::tuning::setRegistrationStartHook([gone](CCORegistration *request) {
        const auto count = [gone] { ++*gone; };
        QObject::connect(request, &QObject::destroyed, count);
        QObject::connect(request->thread(), &QObject::destroyed, count);
    });
    const int patienceMs = 5000;
    DestructionRow row {QStringLiteral("request from a thread without an event loop"), -1, QStringLiteral("-"),
        QStringLiteral("object and thread gone")};
    QElapsedTimer clock;
    clock.start();
    std::thread([] {
        CCORegistration::registerAtCCO(QStringLiteral("CCO/LocalSystem/BenchRequest"), {QStringLiteral("a")});
    }).join();
    if (testsupport::waitUntil([gone] { return gone->load() == 2; }, patienceMs, 1))
        row.ms = double(clock.nsecsElapsed()) / 1e6;
    else
        row.outcome = QStringLiteral("still there after %1 ms").arg(patienceMs);
    externalCCODriver::tuning::setRegistrationStartHook({});
    return row;
}
}

std::vector<DestructionRow> measureDestructionTimes(testsupport::ServerProcess &server, int callTimeoutMs)
{
    // The registration's one-second waits and its random delay would only
    // add noise to a row about its destruction.
    externalCCODriver::tuning::setLocateRegistrationSecond(1);
    std::vector<DestructionRow> rows;
    const QString slow = QStringLiteral("Destruction/Slow");
    rows.push_back(watcherMidQuery(server, QStringLiteral("watcher mid-query, 20 objects, CCO 200 ms late"),
        callTimeoutMs, slow, 20, {QStringLiteral("delay ResolveValues 200")}, objectPath(slow, 1)));
    const QString hung = QStringLiteral("Destruction/Hung");
    QStringList hangs;
    for (int i = 1; i <= 3; ++i)
        hangs << QStringLiteral("hang ResolveValues@") + objectPath(hung, i);
    rows.push_back(watcherMidQuery(server, QStringLiteral("watcher mid-query, 3 objects, CCO hung"), callTimeoutMs,
        hung, 3, hangs, QStringLiteral("CCO/LocalSystem/SubSystems/Sub1/") + hung));
    rows.push_back(
        locateMidRegistration(server, QStringLiteral("locate mid-registration, CCO 200 ms late"), callTimeoutMs, 200));
    rows.push_back(locateMidRegistration(
        server, QStringLiteral("locate mid-registration, CCO 2000 ms late"), callTimeoutMs, 2000));
    rows.push_back(requestFromThreadWithoutLoop());
    externalCCODriver::tuning::setLocateRegistrationSecond(0);
    return rows;
}
}
