#include "installationreader.h"

#include "matching.h"
#include "matrixtext.h"
#include "receivertrees.h"

#include <cco.hh>
#include <matrixmanager.hh>

#include <QDateTime>
#include <QJsonArray>
#include <QRegularExpression>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>

namespace installationview
{
namespace
{
// Per listing, so that a runaway registration cannot grow the page without end.
constexpr int maxListed = 20000;
constexpr int workerThreads = 4;
const QString systemPath = QStringLiteral("CCO/LocalSystem");

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// Names go to the CCO as Latin-1 and come back as UTF-8.
QByteArray wire(const QString &s)
{
    return s.toLatin1();
}

QString fromWire(const char *s)
{
    return QString::fromUtf8(s ? s : "");
}

QJsonArray toArray(const QStringList &list)
{
    QJsonArray array;
    for (const QString &s : list)
        array.append(s);
    return array;
}

QStringList toList(const CCO::StringList &list)
{
    QStringList out;
    for (CORBA::ULong i = 0; i < list.length() && int(i) < maxListed; ++i)
        out << fromWire(list[i].in());
    return out;
}

QString describe(const CORBA::SystemException &e, int callTimeoutMs)
{
    const QString name = QString::fromLatin1(e._name());
    if (name == QLatin1String("TIMEOUT"))
        return QStringLiteral("no reply within %1 ms (TIMEOUT)").arg(callTimeoutMs);
    if (name == QLatin1String("TRANSIENT"))
        return QStringLiteral("cannot be reached (TRANSIENT)");
    if (name == QLatin1String("COMM_FAILURE"))
        return QStringLiteral("connection lost (COMM_FAILURE)");
    if (name == QLatin1String("OBJECT_NOT_EXIST"))
        return QStringLiteral("object does not exist (OBJECT_NOT_EXIST)");
    return name;
}

// Aborts a refresh: the CCO did not answer one of its calls.
struct CcoFailure
{
    QString reason;
};

struct Listing
{
    bool found = false;
    QStringList values;
    QString error; // a user exception other than NotFound
};

struct MatrixProbe
{
    bool inFlight = false;
    bool asked = false;
    bool answering = false;
    QString error;
    qint64 lastSeen = 0;
    int inputs = 0;
    int outputs = 0;
    bool init = false;
    QString connectionData;
    QString statusData;
};

struct MatrixName
{
    QString name;
    QString subsystem;
    QString workstation;
    int id = 0;
};

struct ReceiverEntry
{
    QString name;
    QString subsystem;
    QString host;
    int port = 0;
    QStringList values;
};

QString receiverKey(const ReceiverEntry &r)
{
    return r.subsystem + QLatin1Char('/') + r.name;
}
}

struct InstallationReader::Private
{
    ViewSettings settings;
    CORBA::ORB_var orb;
    CCO::IF_CCO_c_var cco; // nil until narrowed; dropped after a failure
    QThreadPool ccoPool; // the CCO's calls of one refresh, in parallel
    QThreadPool probePool; // matrix managers and value trees, never waited for beyond a refresh
    std::atomic<int> ccoCalls {0};

    std::mutex mutex; // guards what follows; the probes write into it
    std::condition_variable probeFinished;
    quint64 round = 0;
    int pendingThisRound = 0;
    std::map<QString, std::shared_ptr<MatrixProbe>> matrices;

    std::unique_ptr<ReceiverTrees> receiverTrees;
    std::vector<ReceiverAddress> followed;
    // Since when each receiver has been judged out of sync, without a break.
    std::map<QString, qint64> mismatchSince;

    // The last refresh that the CCO answered in full.
    qint64 ccoLastSeen = 0;
    QJsonObject names;
    QJsonArray subsystems;
    std::vector<MatrixName> matrixNames;
    std::vector<ReceiverEntry> receivers;
    qint64 listedAt = 0;

    CCO::IF_CCO_c_ptr ccoRef();
    Listing resolveValues(CCO::IF_CCO_c_ptr ref, const QString &path);
    std::vector<Listing> resolveAll(const QStringList &paths);
    QJsonValue nameOf(char *(CCO::_objref_IF_CCO_c::*get)());
    QJsonObject readSubsystem(const QString &name, const QString &path, std::vector<MatrixName> &matrixNames,
        std::vector<ReceiverEntry> &receivers);
    void probeMatrix(const MatrixName &matrix, quint64 forRound);
    QJsonObject judge(qint64 now);
    void finishProbe(quint64 forRound);
};

CCO::IF_CCO_c_ptr InstallationReader::Private::ccoRef()
{
    if (CORBA::is_nil(cco)) {
        try {
            CORBA::Object_var obj = orb->string_to_object(settings.ccoLocation.toLatin1().constData());
            ++ccoCalls;
            cco = CCO::IF_CCO_c::_narrow(obj);
        } catch (const CORBA::SystemException &e) {
            throw CcoFailure {describe(e, settings.callTimeoutMs)};
        }
        if (CORBA::is_nil(cco))
            throw CcoFailure {QStringLiteral("%1 is not a CCO").arg(settings.ccoLocation)};
    }
    return cco.in();
}

Listing InstallationReader::Private::resolveValues(CCO::IF_CCO_c_ptr ref, const QString &path)
{
    Listing listing;
    try {
        ++ccoCalls;
        CCO::StringList_var values = ref->ResolveValues(wire(path).constData(), CCO::RM_Default);
        listing.found = true;
        listing.values = toList(values.in());
    } catch (const CosNaming::NamingContext::NotFound &) {
    } catch (const CosNaming::NamingContext::InvalidName &) {
        listing.error = QStringLiteral("InvalidName");
    } catch (const CORBA::SystemException &e) {
        throw CcoFailure {describe(e, settings.callTimeoutMs)};
    } catch (const CORBA::UserException &e) {
        listing.error = QString::fromLatin1(e._name());
    }
    return listing;
}

// Large listings go out in chunks on a few threads: the ORB opens a connection
// per thread, so the round trips overlap instead of adding up.
std::vector<Listing> InstallationReader::Private::resolveAll(const QStringList &paths)
{
    std::vector<Listing> results(std::size_t(paths.size()));
    const int chunks = std::min(workerThreads, std::max(1, paths.size() / 32));
    if (chunks == 1) {
        for (int i = 0; i < paths.size(); ++i)
            results[std::size_t(i)] = resolveValues(ccoRef(), paths.at(i));
        return results;
    }
    CCO::IF_CCO_c_var ref = CCO::IF_CCO_c::_duplicate(ccoRef());
    std::mutex failureMutex;
    std::optional<CcoFailure> failure;
    QList<QFuture<void>> futures;
    for (int c = 0; c < chunks; ++c) {
        futures << QtConcurrent::run(&ccoPool, [&, c] {
            omni_thread::ensure_self self;
            for (int i = c; i < paths.size(); i += chunks) {
                try {
                    results[std::size_t(i)] = resolveValues(ref.in(), paths.at(i));
                } catch (const CcoFailure &f) {
                    std::lock_guard<std::mutex> lock(failureMutex);
                    if (!failure)
                        failure = f;
                    return;
                }
            }
        });
    }
    for (auto &f : futures)
        f.waitForFinished();
    if (failure)
        throw *failure;
    return results;
}

QJsonValue InstallationReader::Private::nameOf(char *(CCO::_objref_IF_CCO_c::*get)())
{
    try {
        ++ccoCalls;
        CORBA::String_var name = (ccoRef()->*get)();
        return fromWire(name.in());
    } catch (const CCO::IF_CCO_c::NameNotAvailable &) {
        return QJsonValue::Null;
    } catch (const CORBA::SystemException &e) {
        throw CcoFailure {describe(e, settings.callTimeoutMs)};
    }
}

QJsonObject InstallationReader::Private::readSubsystem(const QString &name, const QString &path,
    std::vector<MatrixName> &matrixNames, std::vector<ReceiverEntry> &receivers)
{
    QJsonObject subsystem {{QStringLiteral("name"), name}, {QStringLiteral("path"), path}};

    // The CCO's configured workstations and those that registered something.
    QStringList workstations;
    try {
        ++ccoCalls;
        CCO::StringList_var configured = ccoRef()->GetWorkstations(wire(name).constData());
        workstations = toList(configured.in());
    } catch (const CORBA::SystemException &e) {
        throw CcoFailure {describe(e, settings.callTimeoutMs)};
    }
    for (const QString &w : resolveValues(ccoRef(), path + QStringLiteral("/Workstations")).values) {
        if (!workstations.contains(w))
            workstations << w;
    }
    QStringList workstationPaths;
    for (const QString &w : workstations)
        workstationPaths << path + QStringLiteral("/Workstations/") + w;
    const std::vector<Listing> entries = resolveAll(workstationPaths);
    static const QRegularExpression matrixEntry(QStringLiteral("^AntennaMatrixManager(\\d+)$"));
    QJsonArray workstationArray;
    for (int i = 0; i < workstations.size(); ++i) {
        const Listing &listing = entries[std::size_t(i)];
        for (const QString &entry : listing.values) {
            const QRegularExpressionMatch m = matrixEntry.match(entry);
            if (m.hasMatch())
                matrixNames.push_back({workstationPaths.at(i) + QLatin1Char('/') + entry + QStringLiteral("/IF_MMR_c"),
                    name, workstations.at(i), m.captured(1).toInt()});
        }
        QJsonObject w {
            {QStringLiteral("name"), workstations.at(i)}, {QStringLiteral("entries"), toArray(listing.values)}};
        if (!listing.error.isEmpty())
            w.insert(QStringLiteral("error"), listing.error);
        workstationArray.append(w);
    }
    subsystem.insert(QStringLiteral("workstations"), workstationArray);

    QJsonArray categoryArray;
    for (int c = 0; c < settings.categories.size(); ++c) {
        const QString categoryPath = path + QLatin1Char('/') + settings.categories.at(c);
        const Listing listing = resolveValues(ccoRef(), categoryPath);
        QStringList objectPaths;
        for (const QString &object : listing.values)
            objectPaths << categoryPath + QLatin1Char('/') + object;
        const std::vector<Listing> values = resolveAll(objectPaths);
        QJsonArray objects;
        for (int i = 0; i < listing.values.size(); ++i) {
            const Listing &v = values[std::size_t(i)];
            if (!v.found && v.error.isEmpty())
                continue; // unregistered between the two calls
            QJsonObject object {
                {QStringLiteral("name"), listing.values.at(i)}, {QStringLiteral("values"), toArray(v.values)}};
            if (!v.error.isEmpty())
                object.insert(QStringLiteral("error"), v.error);
            objects.append(object);
            // host, device, info, port: what the receiver mirroring reads too.
            bool portOk = false;
            const int port = v.values.size() == 4 ? v.values.at(3).toInt(&portOk) : 0;
            if (c == 0 && portOk && port > 0 && port < 65536 && !v.values.at(0).isEmpty())
                receivers.push_back({listing.values.at(i), name, v.values.at(0), port, v.values});
        }
        QJsonObject category {
            {QStringLiteral("path"), settings.categories.at(c)}, {QStringLiteral("objects"), objects}};
        if (!listing.error.isEmpty())
            category.insert(QStringLiteral("error"), listing.error);
        if (listing.values.size() >= maxListed)
            category.insert(QStringLiteral("truncated"), true);
        categoryArray.append(category);
    }
    subsystem.insert(QStringLiteral("categories"), categoryArray);
    return subsystem;
}

void InstallationReader::Private::finishProbe(quint64 forRound)
{
    if (forRound == round && pendingThisRound > 0)
        --pendingThisRound;
    probeFinished.notify_all();
}

void InstallationReader::Private::probeMatrix(const MatrixName &matrix, quint64 forRound)
{
    std::shared_ptr<MatrixProbe> probe;
    {
        auto &slot = matrices[matrix.name];
        if (!slot)
            slot = std::make_shared<MatrixProbe>();
        if (slot->inFlight)
            return;
        slot->inFlight = true;
        ++pendingThisRound;
        probe = slot;
    }
    CCO::IF_CCO_c_var ref = CCO::IF_CCO_c::_duplicate(cco.in());
    const QString name = matrix.name;
    const int timeout = settings.callTimeoutMs;
    QtConcurrent::run(&probePool, [this, probe, ref, name, timeout, forRound] {
        omni_thread::ensure_self self;
        MatrixProbe reading;
        try {
            CORBA::Object_var obj = ref->Resolve(wire(name).constData(), CCO::RM_Default);
            MatrixManager::IF_MMR_c_var mmr = MatrixManager::IF_MMR_c::_narrow(obj);
            if (CORBA::is_nil(mmr)) {
                reading.error = QStringLiteral("the object registered here is no matrix manager");
            } else {
                reading.inputs = mmr->GetMaxInputPorts();
                reading.outputs = mmr->GetMaxOutputPorts();
                reading.init = mmr->init();
                CORBA::String_var connections = mmr->connectionData();
                CORBA::String_var status = mmr->statusData();
                reading.connectionData = fromWire(connections.in());
                reading.statusData = fromWire(status.in());
                reading.answering = true;
            }
        } catch (const CosNaming::NamingContext::NotFound &) {
            reading.error = QStringLiteral("nothing is registered under this name");
        } catch (const CORBA::SystemException &e) {
            reading.error = describe(e, timeout);
        } catch (const CORBA::Exception &e) {
            reading.error = QString::fromLatin1(e._name());
        }
        std::lock_guard<std::mutex> lock(mutex);
        const qint64 lastSeen = reading.answering ? nowMs() : probe->lastSeen;
        if (reading.answering) {
            *probe = reading;
        } else {
            probe->answering = false; // the last reading stays, marked by its time
            probe->error = reading.error;
        }
        probe->lastSeen = lastSeen;
        probe->asked = true;
        probe->inFlight = false;
        finishProbe(forRound);
    });
}

InstallationReader::InstallationReader(const ViewSettings &settings)
    : d(std::make_unique<Private>())
{
    d->settings = settings;
    int argc = 0;
    d->orb = CORBA::ORB_init(argc, nullptr, "omniORB4");
    d->ccoPool.setMaxThreadCount(workerThreads);
    d->probePool.setMaxThreadCount(workerThreads);
    ReceiverTrees::Timing timing;
    // A change in a receiver's tree then shows within about one refresh.
    timing.waitMs = std::max(50, settings.refreshMs / 2);
    timing.callMarginMs = settings.callTimeoutMs;
    d->receiverTrees = std::make_unique<ReceiverTrees>(timing);
}

InstallationReader::~InstallationReader()
{
    d->probePool.waitForDone();
    d->ccoPool.waitForDone();
}

int InstallationReader::lastCcoCalls() const
{
    return d->ccoCalls.load();
}

QJsonObject InstallationReader::refresh(int probeWaitMs)
{
    const qint64 started = nowMs();
    d->ccoCalls = 0;
    QJsonObject ccoState {{QStringLiteral("location"), d->settings.ccoLocation}};
    bool answered = false;
    try {
        QJsonObject names {{QStringLiteral("system"), d->nameOf(&CCO::_objref_IF_CCO_c::GetSystemName)},
            {QStringLiteral("subsystem"), d->nameOf(&CCO::_objref_IF_CCO_c::GetSubSystemName)},
            {QStringLiteral("workstation"), d->nameOf(&CCO::_objref_IF_CCO_c::GetWorkstationName)}};
        QStringList subsystemNames;
        try {
            ++d->ccoCalls;
            CCO::StringList_var list = d->ccoRef()->GetSubSystems();
            subsystemNames = toList(list.in());
        } catch (const CORBA::SystemException &e) {
            throw CcoFailure {describe(e, d->settings.callTimeoutMs)};
        }
        QJsonArray subsystems;
        std::vector<MatrixName> matrixNames;
        std::vector<ReceiverEntry> receivers;
        // A CCO without subsystems still has its own.
        if (subsystemNames.isEmpty()) {
            const QString own = names.value(QStringLiteral("subsystem")).toString(QStringLiteral("LocalSubSystem"));
            subsystems.append(
                d->readSubsystem(own, systemPath + QStringLiteral("/LocalSubSystem"), matrixNames, receivers));
        }
        for (const QString &s : subsystemNames)
            subsystems.append(
                d->readSubsystem(s, systemPath + QStringLiteral("/SubSystems/") + s, matrixNames, receivers));
        std::lock_guard<std::mutex> lock(d->mutex);
        d->names = names;
        d->subsystems = subsystems;
        d->matrixNames = std::move(matrixNames);
        d->receivers = std::move(receivers);
        d->ccoLastSeen = nowMs();
        answered = true;
    } catch (const CcoFailure &failure) {
        ccoState.insert(QStringLiteral("error"), failure.reason);
        d->cco = CCO::IF_CCO_c::_nil();
    }
    const qint64 ccoDone = nowMs();

    std::unique_lock<std::mutex> lock(d->mutex);
    if (answered) {
        ++d->round;
        d->pendingThisRound = 0;
        std::map<QString, std::shared_ptr<MatrixProbe>> keptMatrices;
        for (const MatrixName &m : d->matrixNames) {
            d->probeMatrix(m, d->round);
            keptMatrices[m.name] = d->matrices[m.name];
        }
        d->matrices.swap(keptMatrices);
        std::vector<ReceiverAddress> followed;
        for (const ReceiverEntry &r : d->receivers)
            followed.push_back({receiverKey(r), r.host, r.port});
        // The trees' thread diffs the list; an unchanged one is not sent.
        if (!std::equal(followed.begin(), followed.end(), d->followed.begin(), d->followed.end(),
                [](const ReceiverAddress &a, const ReceiverAddress &b) {
                    return a.key == b.key && a.host == b.host && a.port == b.port;
                })) {
            d->receiverTrees->follow(followed);
            d->followed = std::move(followed);
        }
        d->probeFinished.wait_for(
            lock, std::chrono::milliseconds(std::max(0, probeWaitMs)), [this] { return d->pendingThisRound == 0; });
    }

    ccoState.insert(QStringLiteral("answering"), answered);
    ccoState.insert(QStringLiteral("lastSeen"), d->ccoLastSeen ? QJsonValue(d->ccoLastSeen) : QJsonValue());
    for (auto it = d->names.constBegin(); it != d->names.constEnd(); ++it)
        ccoState.insert(it.key(), it.value());

    QJsonObject judged = d->judge(nowMs());
    const qint64 finished = nowMs();
    QJsonArray attention = judged.value(QStringLiteral("attention")).toArray();
    if (!answered)
        attention.prepend(QJsonObject {{QStringLiteral("kind"), QStringLiteral("cco")},
            {QStringLiteral("subject"), QStringLiteral("CCO %1").arg(d->settings.ccoLocation)},
            {QStringLiteral("reasons"),
                QJsonArray {
                    QStringLiteral("does not answer: %1").arg(ccoState.value(QStringLiteral("error")).toString())}}});
    return QJsonObject {{QStringLiteral("now"), finished}, {QStringLiteral("refreshMs"), d->settings.refreshMs},
        {QStringLiteral("cost"),
            QJsonObject {{QStringLiteral("ccoMs"), ccoDone - started}, {QStringLiteral("totalMs"), finished - started},
                {QStringLiteral("ccoCalls"), d->ccoCalls.load()}}},
        {QStringLiteral("cco"), ccoState}, {QStringLiteral("subsystems"), d->subsystems},
        {QStringLiteral("matrices"), judged.value(QStringLiteral("matrices"))},
        {QStringLiteral("receivers"), judged.value(QStringLiteral("receivers"))},
        {QStringLiteral("attention"), attention}};
}

// Under `mutex`. Matrices and receivers as the page shows them, each receiver
// held against the matrix manager of its workstation.
QJsonObject InstallationReader::Private::judge(qint64 now)
{
    std::vector<MatrixPlace> places;
    std::vector<const MatrixProbe *> probes;
    std::vector<MatrixSide> sides;
    for (const MatrixName &m : matrixNames) {
        places.push_back({m.subsystem, m.workstation, m.id});
        const auto found = matrices.find(m.name);
        const MatrixProbe *p = found == matrices.end() ? nullptr : found->second.get();
        probes.push_back(p);
        MatrixSide side;
        side.label = QStringLiteral("AntennaMatrixManager%1 on %2").arg(m.id).arg(m.workstation);
        // Not asked yet is not "not answering": it is judged once it was.
        side.answering = p && (p->answering || !p->asked);
        if (p && p->lastSeen) {
            if (const auto grid = parseMatrixTexts(p->connectionData, p->statusData, p->inputs, p->outputs)) {
                side.gridKnown = p->asked;
                side.inputOfOutput = grid->inputOfOutput;
            }
        }
        sides.push_back(side);
    }
    std::vector<std::map<int, QStringList>> outputNames(sides.size()), inputNames(sides.size());

    const std::map<QString, ReceiverReading> readings = receiverTrees->readings();
    const int graceMs = settings.callTimeoutMs + settings.connectTimeoutMs;
    const int settleMs = std::max(2 * settings.refreshMs, 1000);
    std::map<QString, qint64> stillMismatched;
    QJsonArray receiverArray, attention;
    std::vector<QJsonObject> calm;
    for (const ReceiverEntry &r : receivers) {
        const QString key = receiverKey(r);
        QJsonObject receiver {{QStringLiteral("name"), r.name}, {QStringLiteral("subsystem"), r.subsystem},
            {QStringLiteral("host"), r.host}, {QStringLiteral("port"), r.port},
            {QStringLiteral("values"), toArray(r.values)}, {QStringLiteral("lastSeen"), ccoLastSeen}};
        const auto found = readings.find(key);
        const ReceiverReading reading = found == readings.end() ? ReceiverReading() : found->second;
        QJsonObject tree;
        bool answering = false;
        if (found != readings.end()) {
            answering = reading.connected;
            // A client says nothing until it connects; one that has not
            // within a call's time counts as not answering.
            if (reading.connected || reading.everConnected || now - reading.createdAt > graceMs) {
                tree.insert(QStringLiteral("answering"), reading.connected);
                if (!reading.connected)
                    tree.insert(QStringLiteral("error"),
                        reading.everConnected ? QStringLiteral("connection lost") : QStringLiteral("no connection"));
            }
            if (reading.lastSeen)
                tree.insert(QStringLiteral("lastSeen"), reading.connected ? now : reading.lastSeen);
        }
        receiver.insert(QStringLiteral("tree"), tree);

        const auto number = [](const QString &text) {
            bool ok = false;
            const int n = text.toInt(&ok);
            return ok ? QJsonValue(n) : QJsonValue();
        };
        const auto flag = [](const QString &text) {
            return text.isEmpty() ? QJsonValue() : QJsonValue(text == QLatin1String("true"));
        };
        const auto text = [](const QString &t) { return t.isEmpty() ? QJsonValue() : QJsonValue(t); };
        receiver.insert(QStringLiteral("driver"),
            QJsonObject {{QStringLiteral("path"), reading.driverPath},
                {QStringLiteral("antenna"), text(reading.antenna)}, {QStringLiteral("input"), number(reading.input)},
                {QStringLiteral("output"), number(reading.matrixOut)},
                {QStringLiteral("lastDriverError"), text(reading.lastDriverError)},
                {QStringLiteral("usingAntennaMatrix"), flag(reading.usingAntennaMatrix)},
                {QStringLiteral("driverOccupied"), flag(reading.driverOccupied)},
                {QStringLiteral("matrixState"), text(reading.matrixState)}});

        QString why;
        const int m = matrixForReceiver(r.host, r.subsystem, places, &why);
        SyncVerdict verdict = judgeReceiver(reading, answering, m < 0 ? nullptr : &sides[std::size_t(m)], why);
        if (verdict.state == QLatin1String(SyncVerdict::outOfSync)) {
            // A switch takes a moment, and the matrix and the tree are read at
            // different times: only a lasting mismatch is out of sync.
            const auto since = mismatchSince.find(key);
            const qint64 first = since == mismatchSince.end() ? now : since->second;
            stillMismatched[key] = first;
            if (now - first < settleMs) {
                verdict.state = QStringLiteral("settling");
                verdict.reason += QStringLiteral(" (for %1 ms; a switch may be under way)").arg(now - first);
            }
        }
        QJsonObject sync {{QStringLiteral("state"), verdict.state}, {QStringLiteral("reason"), verdict.reason}};
        if (m >= 0) {
            sync.insert(QStringLiteral("matrix"), matrixNames[std::size_t(m)].name);
            bool ok = false;
            const int output = reading.matrixOut.toInt(&ok);
            if (answering && ok && output > 0)
                outputNames[std::size_t(m)][output] << r.name;
            for (auto it = reading.knownInputs.cbegin(); it != reading.knownInputs.cend(); ++it) {
                QStringList &names = inputNames[std::size_t(m)][it.value()];
                if (!names.contains(it.key()))
                    names << it.key();
            }
        }
        receiver.insert(QStringLiteral("sync"), sync);

        QJsonArray reasons;
        if (tree.contains(QStringLiteral("answering")) && !answering)
            reasons.append(QStringLiteral("value tree does not answer"));
        if (verdict.state == QLatin1String(SyncVerdict::outOfSync))
            reasons.append(QStringLiteral("out of sync: %1").arg(verdict.reason));
        if (!reading.lastDriverError.isEmpty())
            reasons.append(QStringLiteral("driver error: %1").arg(reading.lastDriverError));
        receiver.insert(QStringLiteral("attention"), reasons);
        if (!reasons.isEmpty()) {
            attention.append(QJsonObject {{QStringLiteral("kind"), QStringLiteral("receiver")},
                {QStringLiteral("subject"), r.name}, {QStringLiteral("reasons"), reasons}});
            receiverArray.append(receiver);
        } else {
            calm.push_back(receiver);
        }
    }
    // Those that need the operator first, the rest in the CCO's order.
    for (const QJsonObject &receiver : calm)
        receiverArray.append(receiver);
    mismatchSince.swap(stillMismatched);

    QJsonArray matrixArray;
    for (std::size_t i = 0; i < matrixNames.size(); ++i) {
        const MatrixName &m = matrixNames[i];
        if (!probes[i])
            continue;
        const MatrixProbe &p = *probes[i];
        QJsonObject matrix {{QStringLiteral("name"), m.name}, {QStringLiteral("subsystem"), m.subsystem},
            {QStringLiteral("workstation"), m.workstation}, {QStringLiteral("id"), m.id},
            {QStringLiteral("label"), sides[i].label}, {QStringLiteral("asked"), p.asked},
            {QStringLiteral("answering"), p.answering},
            {QStringLiteral("lastSeen"), p.lastSeen ? QJsonValue(p.lastSeen) : QJsonValue()}};
        if (!p.error.isEmpty())
            matrix.insert(QStringLiteral("error"), p.error);
        if (p.asked && !p.answering)
            attention.prepend(QJsonObject {{QStringLiteral("kind"), QStringLiteral("matrix")},
                {QStringLiteral("subject"), sides[i].label},
                {QStringLiteral("reasons"), QJsonArray {QStringLiteral("does not answer: %1").arg(p.error)}}});
        QJsonObject outputs, inputs;
        for (const auto &o : outputNames[i])
            outputs.insert(QString::number(o.first), o.second.join(QStringLiteral(", ")));
        for (const auto &in : inputNames[i])
            inputs.insert(QString::number(in.first), in.second.join(QStringLiteral(", ")));
        matrix.insert(QStringLiteral("labels"),
            QJsonObject {{QStringLiteral("outputs"), outputs}, {QStringLiteral("inputs"), inputs}});
        if (p.lastSeen) {
            matrix.insert(QStringLiteral("inputs"), p.inputs);
            matrix.insert(QStringLiteral("outputs"), p.outputs);
            matrix.insert(QStringLiteral("init"), p.init);
            matrix.insert(QStringLiteral("connectionData"), p.connectionData);
            matrix.insert(QStringLiteral("statusData"), p.statusData);
            if (const auto grid = parseMatrixTexts(p.connectionData, p.statusData, p.inputs, p.outputs)) {
                QJsonArray connected;
                for (int input : grid->inputOfOutput)
                    connected.append(input);
                QJsonArray ranges;
                for (const MatrixRange &r : grid->ranges)
                    ranges.append(QJsonObject {{QStringLiteral("output"), r.output}, {QStringLiteral("input"), r.input},
                        {QStringLiteral("start"), QString::number(r.start)},
                        {QStringLiteral("stop"), QString::number(r.stop)}});
                matrix.insert(QStringLiteral("grid"),
                    QJsonObject {{QStringLiteral("inputOfOutput"), connected}, {QStringLiteral("ranges"), ranges}});
            }
        }
        matrixArray.append(matrix);
    }
    return QJsonObject {{QStringLiteral("matrices"), matrixArray}, {QStringLiteral("receivers"), receiverArray},
        {QStringLiteral("attention"), attention}};
}
}
