#include "vttreeserver.h"

#include "iobserver.h"
#include "orbhandler.h"
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
// How often paths without a value are looked up again.
constexpr int AbsentRecheckMs = 200;

QString fromWire(const char *text)
{
    return QString::fromUtf8(text ? text : "");
}

// The state that remote calls read: the text of every watched path with the
// serial of its last change. Written on the tree's thread, read on ORB
// threads; everything is under one mutex.
class ChangeLog
{
public:
    struct Entry
    {
        QString text;
        bool present = false;
        quint64 serial = 0;
    };

    ChangeLog()
        : epoch(QRandomGenerator::system()->generate64() | 1u)
    {
    }

    quint64 runEpoch() const { return epoch; }

    // Tree thread. `resolved` marks a path's first reading, which is not a
    // change for clients already watching nothing there.
    void put(const QString &path, const QString &text, bool present, bool resolved)
    {
        std::lock_guard<std::mutex> lock(mutex);
        Entry &entry = entries[path];
        if (!resolved && entry.present == present && entry.text == text)
            return;
        entry.text = text;
        entry.present = present;
        if (!resolved)
            entry.serial = ++serial;
        changed.notify_all();
    }

    // Set by the server on the tree's thread: asks that thread to run the
    // queued tasks. Called only under the lock, and shutdown() withdraws it
    // under the same lock, so the server outlives every call of it.
    void setPoster(std::function<void()> function)
    {
        std::lock_guard<std::mutex> lock(mutex);
        poster = std::move(function);
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

    void setResolver(std::function<void(const QStringList &)> function)
    {
        std::lock_guard<std::mutex> lock(mutex);
        resolver = std::move(function);
    }

    void shutdown()
    {
        std::lock_guard<std::mutex> lock(mutex);
        down = true;
        resolver = nullptr;
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

    // ORB thread: waits until every path has an entry. false on timeout,
    // shutdown or Wake(waiter) (0: none).
    bool ensureKnown(std::unique_lock<std::mutex> &lock, const QStringList &paths, quint64 waiter = 0)
    {
        QStringList unknown;
        for (const QString &path : paths) {
            if (!entries.contains(path))
                unknown.append(path);
        }
        if (unknown.isEmpty())
            return true;
        if (down || !resolver || !postLocked([resolve = resolver, unknown] { resolve(unknown); }))
            return false;
        auto allKnown = [&] {
            for (const QString &path : unknown) {
                if (!entries.contains(path))
                    return false;
            }
            return true;
        };
        const auto deadline = Clock::now() + std::chrono::milliseconds(HostThreadWaitMs);
        changed.wait_until(lock, deadline,
                           [&] { return down || (waiter && woken.erase(waiter) > 0) || allKnown(); });
        return !down && allKnown();
    }

    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mutex); }

    VornValueTree::Changes *waitChanges(quint64 clientEpoch, quint64 since, const QStringList &watched,
                                        const QStringList &fresh, CORBA::ULong waitMs, quint64 waiter)
    {
        auto guard = lock();
        if (!ensureKnown(guard, watched + fresh, waiter))
            throw VornValueTree::Busy();

        const bool full = clientEpoch != epoch;
        const auto deadline = Clock::now() + std::chrono::milliseconds(std::min(waitMs, MaxWaitMs));
        QList<QString> answer;
        for (;;) {
            answer.clear();
            if (full) {
                answer = watched + fresh;
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
            if (full || !answer.isEmpty() || wokenNow || down)
                break;
            if (changed.wait_until(guard, deadline) == std::cv_status::timeout) {
                woken.erase(waiter);
                break;
            }
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

    bool entry(std::unique_lock<std::mutex> &, const QString &path, Entry *out) const
    {
        const auto it = entries.constFind(path);
        if (it == entries.constEnd())
            return false;
        *out = it.value();
        return true;
    }

private:
    bool postLocked(std::function<void()> task)
    {
        if (down || !poster)
            return false;
        tasks.push_back(std::move(task));
        poster();
        return true;
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::function<void()>> tasks;
    const quint64 epoch;
    quint64 serial = 0;
    QHash<QString, Entry> entries;
    std::set<quint64> woken;
    std::function<void(const QStringList &)> resolver;
    std::function<void()> poster;
    bool down = false;
};

// A write handed to the tree's thread; the ORB thread waits for its result
// with a deadline. Shared, so that either side may leave first.
struct WriteJob
{
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool found = false;
    bool parsed = false;
};

class TreeServer_i : public POA_VornValueTree::TreeServer
{
public:
    explicit TreeServer_i(std::shared_ptr<ChangeLog> log)
        : log(std::move(log))
    {
    }

    VornValueTree::Changes *WaitChanges(CORBA::ULongLong epoch, CORBA::ULongLong since,
                                        const VornValueTree::PathList &watched, const VornValueTree::PathList &fresh,
                                        CORBA::ULong waitMs, CORBA::ULongLong waiter) override
    {
        return log->waitChanges(epoch, since, toList(watched), toList(fresh), waitMs, waiter);
    }

    void Wake(CORBA::ULongLong waiter) override { log->wake(waiter); }

    char *GetValue(const char *path) override
    {
        const QString key = fromWire(path);
        auto guard = log->lock();
        if (!log->ensureKnown(guard, QStringList(key)))
            throw VornValueTree::Busy();
        ChangeLog::Entry entry;
        if (!log->entry(guard, key, &entry) || !entry.present)
            throw VornValueTree::NotFound(path);
        return CORBA::string_dup(entry.text.toUtf8().constData());
    }

    CORBA::Boolean SetValue(const char *path, const char *text) override
    {
        auto job = std::make_shared<WriteJob>();
        const QString key = fromWire(path);
        const QString content = fromWire(text);
        const bool posted = log->post([job, key, content] {
            values::Tree *tree = values::Tree::Instance();
            values::ValueBase *value = tree ? tree->FindValue(key) : nullptr;
            const bool parsed = value && value->SetStringValue(content, nullptr);
            std::lock_guard<std::mutex> jobLock(job->mutex);
            job->found = value != nullptr;
            job->parsed = parsed;
            job->finished = true;
            job->done.notify_all();
        });
        if (!posted)
            throw VornValueTree::Busy();
        std::unique_lock<std::mutex> lock(job->mutex);
        if (!job->done.wait_for(lock, std::chrono::milliseconds(HostThreadWaitMs), [&] { return job->finished; }))
            throw VornValueTree::Busy();
        if (!job->found)
            throw VornValueTree::NotFound(path);
        return job->parsed;
    }

private:
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
    struct Watched
    {
        values::ValueBase *value;
        QString path;
    };

    VtTreeServer *q = nullptr;
    std::shared_ptr<ChangeLog> log = std::make_shared<ChangeLog>();
    QHash<Observable *, Watched> watched;
    QHash<QString, Observable *> byPath;
    QSet<QString> absent;
    QTimer *absentTimer = nullptr;
    bool running = false;
    PortableServer::POA_var poa;

    void Notify(Observable *subject, unsigned int code) override
    {
        const auto it = watched.find(subject);
        if (it == watched.end())
            return;
        values::ValueBase *value = it->value;
        const QString path = it->path;
        if (code == 2 && value->GetState() == values::ValueBase::StateReleased) {
            watched.erase(it);
            byPath.remove(path);
            value->DeleteObserver(this);
            absent.insert(path);
            log->put(path, QString(), false, false);
            return;
        }
        if (code == 3)
            log->put(path, value->GetStringValue(), true, false);
    }

    // Tree thread: reads paths for the first time and keeps them watched.
    void resolve(const QStringList &paths)
    {
        for (const QString &path : paths) {
            if (byPath.contains(path) || absent.contains(path)) {
                // Already known; a second request only needs the entry.
                republish(path);
                continue;
            }
            if (!attach(path, true)) {
                absent.insert(path);
                log->put(path, QString(), false, true);
            }
        }
    }

    void republish(const QString &path)
    {
        if (Observable *subject = byPath.value(path))
            log->put(path, watched.value(subject).value->GetStringValue(), true, true);
        else
            log->put(path, QString(), false, true);
    }

    bool attach(const QString &path, bool first)
    {
        values::Tree *tree = values::Tree::Instance();
        values::ValueBase *value = tree ? tree->FindValue(path) : nullptr;
        if (!value)
            return false;
        value->AddObserver(this);
        watched.insert(value, Watched{value, path});
        byPath.insert(path, value);
        absent.remove(path);
        log->put(path, value->GetStringValue(), true, first);
        return true;
    }

    void recheckAbsent()
    {
        const QSet<QString> paths = absent;
        for (const QString &path : paths)
            attach(path, false);
    }

    void detachAll()
    {
        for (const Watched &entry : qAsConst(watched))
            entry.value->DeleteObserver(this);
        watched.clear();
        byPath.clear();
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
    d->absentTimer = new QTimer(this);
    d->absentTimer->setInterval(AbsentRecheckMs);
    connect(d->absentTimer, &QTimer::timeout, this, [this] { d->recheckAbsent(); });

    d->log->setPoster([this] {
        QMetaObject::invokeMethod(this, [this] { d->log->runTasks(); }, Qt::QueuedConnection);
    });
    d->log->setResolver([this](const QStringList &paths) { d->resolve(paths); });
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
    CORBA::ORB_ptr orb = CorbaCommon::OrbHandler::Instance().Orb();
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
    d->absentTimer->start();
    return true;
}

bool VtTreeServer::isRunning() const
{
    return d->running;
}

int VtTreeServer::watchedCount() const
{
    return d->watched.size() + d->absent.size();
}
