#include "discoverytestsupport.h"

#include "errorhandler.h"
#include "orbhandler.h"
#include "serverprocess.h"
#include "waituntil.h"

#include <QDir>

#include <atomic>

namespace discoverytest
{
QString objectPath(const QString &subsystem, const QString &name)
{
    return QStringLiteral("CCO/LocalSystem/SubSystems/%1/%2/%3").arg(subsystem, category, name);
}

QString localHostPath(const QString &name)
{
    return QStringLiteral("CCO/LocalSystem/LocalSubSystem/LocalHost/") + name;
}

bool initOrb(const QString &corbaloc, bool connect)
{
    auto &orb = CorbaCommon::OrbHandler::Instance();
    if (!orb.Init({QStringLiteral("-ORBInitRef"), QStringLiteral("CCO=") + corbaloc}))
        return false;
    return !connect || orb.ConnectToCCO(2, 500);
}

namespace
{
CCO::IF_CCO_c_var cco()
{
    return CCO::IF_CCO_c_var(CorbaCommon::OrbHandler::Instance().GetCCO());
}
}

bool bindValues(const QString &path, const QList<QByteArray> &values)
{
    CCO::StringList list;
    list.length(CORBA::ULong(values.size()));
    for (int i = 0; i < values.size(); ++i)
        list[CORBA::ULong(i)] = CORBA::string_dup(values.at(i).constData());
    try {
        cco()->RegisterValues(path.toLatin1().constData(), list, CCO::RT_Single);
        return true;
    } catch (const CORBA::Exception &) {
        return false;
    }
}

bool unbindValues(const QString &path)
{
    try {
        cco()->UnregisterValues(path.toLatin1().constData(), CCO::RT_Single);
        return true;
    } catch (const CORBA::Exception &) {
        return false;
    }
}

QList<QByteArray> resolveValues(const QString &path)
{
    QList<QByteArray> out;
    try {
        CCO::StringList_var list = cco()->ResolveValues(path.toLatin1().constData(), CCO::RM_Default);
        for (CORBA::ULong i = 0; i < list->length(); ++i)
            out.append(QByteArray(list[i].in()));
    } catch (const CORBA::Exception &) {
        // A path the CCO does not know reads as no values.
    }
    return out;
}

int syncLog(testsupport::ServerProcess &server)
{
    static std::atomic<int> counter {0};
    const QString name = QStringLiteral("CCO/LocalSystem/LogSync%1").arg(++counter);
    resolveValues(name);
    const int line = server.waitForLine(QStringLiteral("CALL ResolveValues ") + name + QLatin1Char(' '), 5000);
    return line < 0 ? -1 : line + 1;
}

TraceRecorder::TraceRecorder()
{
    ErrorHandler::Instance()->SetTraceFilter(ErrorHandler::TraceDriver);
    ErrorHandler::Instance()->SetTraceCapture([this](const QString &line) {
        std::lock_guard<std::mutex> lock(mutex);
        recorded.append(line);
    });
}

TraceRecorder::~TraceRecorder()
{
    ErrorHandler::Instance()->SetTraceCapture({});
}

QStringList TraceRecorder::lines() const
{
    // A list of its own: a shared copy would be detached outside the lock
    // while a tracing thread appends to the original.
    std::lock_guard<std::mutex> lock(mutex);
    QStringList copy;
    copy.reserve(recorded.size());
    for (const QString &line : recorded)
        copy.append(line);
    return copy;
}

int TraceRecorder::count(const QString &text) const
{
    std::lock_guard<std::mutex> lock(mutex);
    int n = 0;
    for (const QString &line : recorded)
        n += line.contains(text) ? 1 : 0;
    return n;
}

bool TraceRecorder::waitFor(const QString &text, int timeoutMs) const
{
    return testsupport::waitUntil([&] { return count(text) > 0; }, timeoutMs);
}

int threadCount()
{
    return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}
}
