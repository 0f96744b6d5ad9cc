#include "vttreeserver.h"

#include "iobserver.h"
#include "orbhandlerhost.h"
#include "tree.h"
#include "valuebase.h"

#include <valuetree.hh>

#include <QCoreApplication>
#include <QHash>
#include <QRandomGenerator>
#include <QSet>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>

const char *const VtTreeServer::ObjectKey = "ValueTree";

namespace
{
using Clock = std::chrono::steady_clock;

// How long a remote call waits for the tree's thread before it answers Busy.
constexpr int HostThreadWaitMs = 2000;
// Longest hold of a poll, whatever the client asks for.
constexpr CORBA::ULong MaxWaitMs = 10000;
// How often quiet peers are looked for, by requests and by the tree's thread.
constexpr int SweepEveryMs = 5000;

QString fromWire(const char *text)
{
    return QString::fromUtf8(text ? text : "");
}

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

QStringList segmentsOf(const QString &path)
{
    return path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
}

// What remote calls read: for every path some peer watches, its text with the
// serial of its last change; and the peers with the paths they watch. Written
// on the tree's thread and on ORB threads; everything under one mutex.
class ChangeLog
{
public:
    struct Entry
    {
        QString text;
        bool present = false;
        // Read from the tree at least once.
        bool known = false;
        quint64 serial = 0;
        // Peers watching the path.
        int refs = 0;
    };

    // The tree's thread does the work that needs the tree.
    struct HostSide
    {
        std::function<void(const QStringList &)> resolve;
        std::function<void(const QStringList &)> recheck;
        std::function<void(const QStringList &)> release;
    };

    ChangeLog()
        : epoch(QRandomGenerator::system()->generate64() | 1u)
    {
    }

    // Tree thread. `resolved` marks a path's first reading, which is not a
    // change for clients already watching nothing there. Paths nobody
    // watches any more are ignored. The spellings of one value change
    // together, under one serial, so that no answer holds one without the
    // others.
    void put(const QStringList &paths, const QString &text, bool present, bool resolved)
    {
        std::lock_guard<std::mutex> lock(mutex);
        bool bumped = false;
        for (const QString &path : paths) {
            const auto it = entries.find(path);
            if (it == entries.end())
                continue;
            Entry &entry = it.value();
            const bool same = entry.known && entry.present == present && entry.text == text;
            entry.known = true;
            if (same && !resolved)
                continue;
            entry.text = text;
            entry.present = present;
            if (!resolved) {
                if (!bumped)
                    ++serial;
                bumped = true;
                entry.serial = serial;
            }
        }
        changed.notify_all();
    }

    void put(const QString &path, const QString &text, bool present, bool resolved)
    {
        put(QStringList {path}, text, present, resolved);
    }

    bool isWatched(const QString &path)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return entries.contains(path);
    }

    // Set by the server on the tree's thread: asks that thread to run the
    // queued tasks. Called only under the lock, and shutdown() withdraws it
    // under the same lock, so the server outlives every call of it.
    void setPoster(std::function<void()> function)
    {
        std::lock_guard<std::mutex> lock(mutex);
        poster = std::move(function);
    }

    void setHostSide(HostSide side)
    {
        std::lock_guard<std::mutex> lock(mutex);
        host = std::move(side);
    }

    void setWritePolicy(const VtTreeServer::WritePolicy &policy)
    {
        std::lock_guard<std::mutex> lock(mutex);
        writes = policy;
    }

    // Queues a task for the tree's thread. false once the server is going
    // away. The task travels through this object's lock, not inside the
    // posted event, so that race detectors see the hand-over.
    bool post(std::function<void()> task)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return postLocked(std::move(task));
    }

    // Tree thread: runs the queued tasks in order.
    void runTasks()
    {
        for (;;) {
            std::function<void()> task;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (tasks.empty())
                    return;
                task = std::move(tasks.front());
                tasks.pop_front();
            }
            task();
        }
    }

    void shutdown()
    {
        std::lock_guard<std::mutex> lock(mutex);
        down = true;
        host = HostSide();
        poster = nullptr;
        changed.notify_all();
    }

    void wake(quint64 waiter)
    {
        std::lock_guard<std::mutex> lock(mutex);
        // A wake that arrives after its poll returned stays until that
        // client's next poll, which may never come: keep the set bounded.
        if (woken.size() > 4096)
            woken.clear();
        woken.insert(waiter);
        changed.notify_all();
    }

    // Forgets the peers that have not polled for `idleMs`, and the paths no
    // peer watches any more.
    void sweep(int idleMs)
    {
        std::lock_guard<std::mutex> lock(mutex);
        sweepLocked(nowMs(), idleMs);
    }

    int watchedCount()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return entries.size();
    }

    int peerCount()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return peers.size();
    }

    VornValueTree::Changes *waitChanges(quint64 clientEpoch, quint64 since, const QStringList &watched,
        const QStringList &fresh, CORBA::ULong waitMs, quint64 waiter)
    {
        std::unique_lock<std::mutex> guard(mutex);
        const qint64 now = nowMs();
        if (now >= nextSweepMs)
            sweepLocked(now, VtTreeServer::PeerIdleMs);
        const QStringList requested = watched + fresh;
        const bool knownPeer = admit(waiter, requested, now);
        if (!ensureKnown(guard, requested, waiter))
            throw VornValueTree::Busy();
        recheckAbsent(waiter, now);

        // A peer the server had forgotten gets everything again.
        const bool full = clientEpoch != epoch || !knownPeer;
        const auto deadline = Clock::now() + std::chrono::milliseconds(std::min(waitMs, MaxWaitMs));
        QList<QString> answer;
        bool timedOut = false;
        for (;;) {
            answer.clear();
            if (full) {
                answer = requested;
            } else {
                answer = fresh;
                for (const QString &path : watched) {
                    if (entries.value(path).serial > since)
                        answer.append(path);
                }
            }
            // A full answer goes at once even when empty: it tells the client
            // the epoch.
            const bool wokenNow = woken.erase(waiter) > 0;
            if (full || !answer.isEmpty() || wokenNow || down || timedOut)
                break;
            // A wait that timed out may still have been overtaken by a change
            // before it got the lock back; the answer is looked at once more,
            // so that the serial handed out never passes a change it leaves
            // out.
            timedOut = changed.wait_until(guard, deadline) == std::cv_status::timeout;
        }

        auto *changes = new VornValueTree::Changes;
        changes->epoch = epoch;
        changes->serial = serial;
        changes->entries.length(static_cast<CORBA::ULong>(answer.size()));
        CORBA::ULong index = 0;
        for (const QString &path : answer) {
            const Entry entry = entries.value(path);
            VornValueTree::Entry &out = changes->entries[index++];
            out.path = CORBA::string_dup(path.toUtf8().constData());
            out.present = entry.present;
            out.text = CORBA::string_dup(entry.text.toUtf8().constData());
        }
        return changes;
    }

    // ORB thread: why a peer may not write `text` at `path`, or empty.
    QString writeRefusal(const QString &path, const char *text)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!writes.enabled)
            return QStringLiteral("writes by peers are not enabled on this host");
        const QStringList below = segmentsOf(writes.below);
        const QStringList target = segmentsOf(path);
        if (below.isEmpty() || target.size() <= below.size() || target.mid(0, below.size()) != below)
            return QStringLiteral("only values below %1 may be written").arg(writes.below);
        if (qstrlen(text) > static_cast<uint>(qMax(0, writes.maxBytes)))
            return QStringLiteral("a value may have at most %1 bytes").arg(writes.maxBytes);
        return QString();
    }

private:
    static void refuse(const QString &reason) { throw VornValueTree::Refused(reason.toUtf8().constData()); }

    // Registers the requested paths for the peer, within the caps. Returns
    // whether the server knew the peer already.
    bool admit(quint64 waiter, const QStringList &requested, qint64 now)
    {
        if (requested.size() > VtTreeServer::MaxPathsPerRequest)
            refuse(QStringLiteral("at most %1 paths per request").arg(VtTreeServer::MaxPathsPerRequest));
        auto peer = peers.find(waiter);
        const bool known = peer != peers.end();
        if (!known && peers.size() >= VtTreeServer::MaxPeers)
            refuse(QStringLiteral("this host serves at most %1 peers").arg(VtTreeServer::MaxPeers));
        QSet<QString> added;
        int newEntries = 0;
        qint64 addedChars = 0;
        qint64 newEntryChars = 0;
        for (const QString &path : requested) {
            if ((known && peer->paths.contains(path)) || added.contains(path))
                continue;
            added.insert(path);
            addedChars += path.size();
            if (!entries.contains(path)) {
                ++newEntries;
                newEntryChars += path.size();
            }
        }
        if ((known ? peer->paths.size() : 0) + added.size() > VtTreeServer::MaxPathsPerPeer)
            refuse(QStringLiteral("at most %1 paths per peer").arg(VtTreeServer::MaxPathsPerPeer));
        if ((known ? peer->chars : 0) + addedChars > VtTreeServer::MaxPathCharsPerPeer)
            refuse(QStringLiteral("at most %1 characters of paths per peer").arg(VtTreeServer::MaxPathCharsPerPeer));
        if (entries.size() + newEntries > VtTreeServer::MaxWatchedPaths
            || entryChars + newEntryChars > VtTreeServer::MaxWatchedPathChars)
            refuse(QStringLiteral("this host watches at most %1 paths (%2 characters)")
                       .arg(VtTreeServer::MaxWatchedPaths)
                       .arg(VtTreeServer::MaxWatchedPathChars));
        if (!known)
            peer = peers.insert(waiter, Peer());
        for (const QString &path : qAsConst(added)) {
            peer->paths.insert(path);
            Entry &entry = entries[path];
            if (entry.refs++ == 0)
                entryChars += path.size();
        }
        peer->chars += addedChars;
        peer->lastSeenMs = now;
        return known;
    }

    // Waits until every path has been read from the tree. false on timeout,
    // shutdown or Wake(waiter).
    bool ensureKnown(std::unique_lock<std::mutex> &lock, const QStringList &paths, quint64 waiter)
    {
        QStringList unknown;
        for (const QString &path : paths) {
            if (!entries.value(path).known)
                unknown.append(path);
        }
        if (unknown.isEmpty())
            return true;
        if (down || !host.resolve || !postLocked([resolve = host.resolve, unknown] { resolve(unknown); }))
            return false;
        auto allKnown = [&] {
            for (const QString &path : unknown) {
                if (!entries.value(path).known)
                    return false;
            }
            return true;
        };
        const auto deadline = Clock::now() + std::chrono::milliseconds(HostThreadWaitMs);
        changed.wait_until(lock, deadline, [&] { return down || (waiter && woken.erase(waiter) > 0) || allKnown(); });
        return !down && allKnown();
    }

    // Looks the peer's absent paths up again, at most every AbsentRecheckMs:
    // the cost follows the polls of the peers that watch them.
    void recheckAbsent(quint64 waiter, qint64 now)
    {
        const auto peer = peers.find(waiter);
        if (peer == peers.end() || now - peer->lastRecheckMs < VtTreeServer::AbsentRecheckMs || !host.recheck)
            return;
        peer->lastRecheckMs = now;
        QStringList absent;
        for (const QString &path : qAsConst(peer->paths)) {
            const Entry entry = entries.value(path);
            if (entry.known && !entry.present)
                absent.append(path);
        }
        if (!absent.isEmpty())
            postLocked([recheck = host.recheck, absent] { recheck(absent); });
    }

    void sweepLocked(qint64 now, int idleMs)
    {
        nextSweepMs = now + SweepEveryMs;
        QStringList gone;
        for (auto peer = peers.begin(); peer != peers.end();) {
            if (now - peer->lastSeenMs < idleMs) {
                ++peer;
                continue;
            }
            for (const QString &path : qAsConst(peer->paths)) {
                const auto entry = entries.find(path);
                if (entry != entries.end() && --entry->refs <= 0) {
                    entryChars -= path.size();
                    entries.erase(entry);
                    gone.append(path);
                }
            }
            peer = peers.erase(peer);
        }
        if (!gone.isEmpty() && host.release)
            postLocked([release = host.release, gone] { release(gone); });
    }

    bool postLocked(std::function<void()> task)
    {
        if (down || !poster)
            return false;
        tasks.push_back(std::move(task));
        poster();
        return true;
    }

    struct Peer
    {
        QSet<QString> paths;
        qint64 chars = 0;
        qint64 lastSeenMs = 0;
        qint64 lastRecheckMs = 0;
    };

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::function<void()>> tasks;
    const quint64 epoch;
    quint64 serial = 0;
    QHash<QString, Entry> entries;
    QHash<quint64, Peer> peers;
    // Characters of the keys of `entries`.
    qint64 entryChars = 0;
    qint64 nextSweepMs = 0;
    std::set<quint64> woken;
    HostSide host;
    std::function<void()> poster;
    VtTreeServer::WritePolicy writes;
    bool down = false;
};

// A job handed to the tree's thread; the ORB thread waits for its result
// with a deadline. Shared, so that either side may leave first.
struct HostJob
{
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool found = false;
    bool parsed = false;
    QString text;
};

class TreeServer_i : public POA_VornValueTree::TreeServer
{
public:
    explicit TreeServer_i(std::shared_ptr<ChangeLog> log)
        : log(std::move(log))
    {
    }

    VornValueTree::Changes *WaitChanges(CORBA::ULongLong epoch, CORBA::ULongLong since,
        const VornValueTree::PathList &watched, const VornValueTree::PathList &fresh, CORBA::ULong waitMs,
        CORBA::ULongLong waiter) override
    {
        // Checked before anything is copied.
        if (watched.length() + fresh.length() > static_cast<CORBA::ULong>(VtTreeServer::MaxPathsPerRequest)) {
            throw VornValueTree::Refused(QStringLiteral("at most %1 paths per request")
                                             .arg(VtTreeServer::MaxPathsPerRequest)
                                             .toUtf8()
                                             .constData());
        }
        return log->waitChanges(epoch, since, toList(watched), toList(fresh), waitMs, waiter);
    }

    void Wake(CORBA::ULongLong waiter) override { log->wake(waiter); }

    char *GetValue(const char *path) override
    {
        const QString key = fromWire(path);
        // Read on the tree's thread; nothing is kept for the caller.
        const auto job = runOnHost([key](HostJob &result) {
            values::Tree *tree = values::Tree::Instance();
            values::ValueBase *value = tree ? tree->FindValue(key) : nullptr;
            result.found = value != nullptr;
            if (value)
                result.text = value->GetStringValue();
        });
        if (!job->found)
            throw VornValueTree::NotFound(path);
        return CORBA::string_dup(job->text.toUtf8().constData());
    }

    CORBA::Boolean SetValue(const char *path, const char *text) override
    {
        const QString key = fromWire(path);
        const QString refusal = log->writeRefusal(key, text ? text : "");
        if (!refusal.isEmpty())
            throw VornValueTree::Refused(refusal.toUtf8().constData());
        const QString content = fromWire(text);
        const auto job = runOnHost([key, content](HostJob &result) {
            values::Tree *tree = values::Tree::Instance();
            values::ValueBase *value = tree ? tree->FindValue(key) : nullptr;
            result.found = value != nullptr;
            result.parsed = value && value->SetStringValue(content, nullptr);
        });
        if (!job->found)
            throw VornValueTree::NotFound(path);
        return job->parsed;
    }

private:
    std::shared_ptr<HostJob> runOnHost(std::function<void(HostJob &)> work)
    {
        auto job = std::make_shared<HostJob>();
        const bool posted = log->post([job, work] {
            HostJob result;
            work(result);
            std::lock_guard<std::mutex> jobLock(job->mutex);
            job->found = result.found;
            job->parsed = result.parsed;
            job->text = result.text;
            job->finished = true;
            job->done.notify_all();
        });
        if (!posted)
            throw VornValueTree::Busy();
        std::unique_lock<std::mutex> lock(job->mutex);
        if (!job->done.wait_for(lock, std::chrono::milliseconds(HostThreadWaitMs), [&] { return job->finished; }))
            throw VornValueTree::Busy();
        return job;
    }

    static QStringList toList(const VornValueTree::PathList &paths)
    {
        QStringList list;
        list.reserve(static_cast<int>(paths.length()));
        for (CORBA::ULong i = 0; i < paths.length(); ++i)
            list.append(fromWire(paths[i]));
        return list;
    }

    std::shared_ptr<ChangeLog> log;
};
}

struct VtTreeServer::Private : public IObserver
{
    VtTreeServer *q = nullptr;
    std::shared_ptr<ChangeLog> log = std::make_shared<ChangeLog>();
    // The values observed for peers, both ways; one value may stand under
    // several spellings of its path, and each spelling is a path of its own
    // for the peers.
    QMultiHash<Observable *, QString> pathOf;
    QHash<QString, values::ValueBase *> valueAt;
    QTimer *sweepTimer = nullptr;
    bool running = false;
    PortableServer::POA_var poa;

    void Notify(Observable *subject, unsigned int code) override
    {
        const QStringList paths = pathOf.values(subject);
        if (paths.isEmpty())
            return;
        values::ValueBase *value = valueAt.value(paths.first());
        if (code == 2 && value->GetState() == values::ValueBase::StateReleased) {
            for (const QString &path : paths)
                detach(path);
            log->put(paths, QString(), false, false);
            return;
        }
        if (code == 3)
            log->put(paths, value->GetStringValue(), true, false);
    }

    // Tree thread: reads paths for the first time and keeps them watched.
    void resolve(const QStringList &paths)
    {
        for (const QString &path : paths) {
            if (values::ValueBase *value = valueAt.value(path))
                log->put(path, value->GetStringValue(), true, true);
            else if (!attach(path, true))
                log->put(path, QString(), false, true);
        }
    }

    void recheck(const QStringList &paths)
    {
        for (const QString &path : paths) {
            if (!valueAt.contains(path))
                attach(path, false);
        }
    }

    void release(const QStringList &paths)
    {
        for (const QString &path : paths) {
            // Asked for again since it was given up.
            if (!log->isWatched(path))
                detach(path);
        }
    }

    bool attach(const QString &path, bool first)
    {
        values::Tree *tree = values::Tree::Instance();
        values::ValueBase *value = tree ? tree->FindValue(path) : nullptr;
        if (!value || !log->isWatched(path))
            return false;
        if (!pathOf.contains(value))
            value->AddObserver(this);
        if (!pathOf.contains(value, path))
            pathOf.insert(value, path);
        valueAt.insert(path, value);
        log->put(path, value->GetStringValue(), true, first);
        return true;
    }

    void detach(const QString &path)
    {
        values::ValueBase *value = valueAt.take(path);
        if (!value)
            return;
        pathOf.remove(value, path);
        if (!pathOf.contains(value))
            value->DeleteObserver(this);
    }

    void detachAll()
    {
        for (Observable *value : pathOf.uniqueKeys())
            value->DeleteObserver(this);
        pathOf.clear();
        valueAt.clear();
    }
};

QStringList VtTreeServer::OrbArgs(int port, const QString &listenHost)
{
    return {QStringLiteral("-ORBendPoint"), QStringLiteral("giop:tcp:%1:%2").arg(listenHost).arg(port)};
}

VtTreeServer::VtTreeServer(QObject *parent)
    : QObject(parent)
    , d(new Private)
{
    d->q = this;
    // Quiet peers are also forgotten when nobody polls at all.
    d->sweepTimer = new QTimer(this);
    d->sweepTimer->setInterval(SweepEveryMs);
    connect(d->sweepTimer, &QTimer::timeout, this, [this] { d->log->sweep(PeerIdleMs); });

    d->log->setPoster([this] {
        QMetaObject::invokeMethod(
            this, [this] { d->log->runTasks(); }, Qt::QueuedConnection);
    });
    ChangeLog::HostSide host;
    host.resolve = [this](const QStringList &paths) { d->resolve(paths); };
    host.recheck = [this](const QStringList &paths) { d->recheck(paths); };
    host.release = [this](const QStringList &paths) { d->release(paths); };
    d->log->setHostSide(std::move(host));
}

VtTreeServer::~VtTreeServer()
{
    // After this no ORB thread posts to this object any more; what was
    // posted already dies with it.
    d->log->shutdown();
    if (d->running && !CORBA::is_nil(d->poa)) {
        try {
            PortableServer::ObjectId_var oid = PortableServer::string_to_ObjectId(ObjectKey);
            d->poa->deactivate_object(oid);
        } catch (const CORBA::Exception &) {
            // The ORB may already be down; the servant then goes with it.
        }
    }
    d->detachAll();
    delete d;
}

bool VtTreeServer::start()
{
    if (d->running)
        return true;
    CORBA::ORB_ptr orb = CorbaCommon::OrbHandlerHost::Orb();
    if (CORBA::is_nil(orb))
        return false;

    try {
        CORBA::Object_var object = orb->resolve_initial_references("omniINSPOA");
        d->poa = PortableServer::POA::_narrow(object);
        if (CORBA::is_nil(d->poa))
            return false;
        PortableServer::ObjectId_var oid = PortableServer::string_to_ObjectId(ObjectKey);
        auto *servant = new TreeServer_i(d->log);
        // A servant of an earlier server in this process may still be
        // finishing a poll; its activation ends as soon as that returns.
        const auto deadline = Clock::now() + std::chrono::milliseconds(HostThreadWaitMs);
        for (;;) {
            try {
                d->poa->activate_object_with_id(oid, servant);
                break;
            } catch (const PortableServer::POA::ObjectAlreadyActive &) {
                if (Clock::now() > deadline) {
                    servant->_remove_ref();
                    return false;
                }
                QThread::msleep(10);
            }
        }
        // The POA holds the only reference now and deletes the servant once
        // it is deactivated and idle.
        servant->_remove_ref();
        PortableServer::POAManager_var manager = d->poa->the_POAManager();
        manager->activate();
    } catch (const CORBA::Exception &) {
        return false;
    }
    d->running = true;
    d->sweepTimer->start();
    return true;
}

bool VtTreeServer::isRunning() const
{
    return d->running;
}

void VtTreeServer::setWritePolicy(const WritePolicy &policy)
{
    d->log->setWritePolicy(policy);
}

int VtTreeServer::watchedCount() const
{
    return d->log->watchedCount();
}

int VtTreeServer::peerCount() const
{
    return d->log->peerCount();
}

void VtTreeServer::forgetQuietPeers(int idleMs)
{
    d->log->sweep(idleMs);
}
