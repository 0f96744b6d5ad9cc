#include "vtclient.h"

#include "changecodes.h"
#include "observablewatch.h"
#include "orbhandler.h"
#include "tree.h"
#include "value.h"
#include "valueptr.h"
#include "vtclientcenterprivate.h"
#include "zrexception.h"

#include <valuetree.hh>

#include <QRandomGenerator>

#include <algorithm>
#include <atomic>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace vtremote
{
// What the owner's thread and the network thread share; everything under
// `mutex`.
struct Shared
{
    std::mutex mutex;
    std::condition_variable wakeup;
    bool stop = false;
    // Every remote path linked so far, and those not yet read since they
    // were linked.
    QStringList all;
    QSet<QString> allSet;
    QStringList fresh;
    // The network thread waits for the owner to take in a connection, so
    // that links added in response are read at once by the next poll.
    bool awaitingHandover = false;
    bool inCall = false;
    VornValueTree::TreeServer_var server;
    const quint64 waiter = QRandomGenerator::system()->generate64() | 1u;
    // What the network thread hands to the owner's thread. It goes through
    // this lock rather than inside the posted event, so that the hand-over is
    // ordered by a lock that race detectors see (Qt's own are invisible to
    // them).
    std::deque<std::function<void()>> inbox;
};

std::atomic<int> runningNetworkThreads{0};

namespace
{
QList<RemoteEntry> toEntries(const VornValueTree::EntryList &list)
{
    QList<RemoteEntry> entries;
    entries.reserve(static_cast<int>(list.length()));
    for (CORBA::ULong i = 0; i < list.length(); ++i) {
        RemoteEntry entry;
        entry.path = QString::fromUtf8(list[i].path);
        entry.text = QString::fromUtf8(list[i].text);
        entry.present = list[i].present;
        entries.append(entry);
    }
    return entries;
}

VornValueTree::PathList toPathList(const QStringList &paths)
{
    VornValueTree::PathList list;
    list.length(static_cast<CORBA::ULong>(paths.size()));
    for (int i = 0; i < paths.size(); ++i)
        list[static_cast<CORBA::ULong>(i)] = CORBA::string_dup(paths.at(i).toUtf8().constData());
    return list;
}

QString normalRemote(const QString &path)
{
    return path.startsWith(QLatin1Char('/')) ? path : QLatin1Char('/') + path;
}
}

VtClient::VtClient(const QString &host, int port, const VtClientCenter::Timing &timing)
    : host(host)
    , port(port)
    , timing(timing)
    , shared(std::make_shared<Shared>())
{
    worker = std::thread([this] { run(); });
}

VtClient::~VtClient()
{
    requestStop();
    if (worker.joinable())
        worker.join();
    removeCreated();
}

void VtClient::requestStop()
{
    VornValueTree::TreeServer_var server;
    quint64 waiter = 0;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (shared->stop)
            return;
        shared->stop = true;
        shared->wakeup.notify_all();
        if (shared->inCall && !CORBA::is_nil(shared->server)) {
            server = VornValueTree::TreeServer::_duplicate(shared->server);
            waiter = shared->waiter;
        }
    }
    if (CORBA::is_nil(server))
        return;
    // A poll may be held by the server for its whole wait; asking the server
    // to end it keeps the join short. Failing that, the poll ends by itself.
    try {
        server->Wake(waiter);
    } catch (const CORBA::Exception &) {
        // The poll then runs out on its own, within the call timeout.
    }
}

bool VtClient::AddValueLink(const char *link, const char *)
{
    const QString text = QString::fromLocal8Bit(link ? link : "");
    const int comma = text.indexOf(QLatin1Char(','));
    if (comma < 0)
        return false;
    Link entry;
    entry.local = text.left(comma).trimmed();
    entry.remote = normalRemote(text.mid(comma + 1).trimmed());
    if (entry.local.isEmpty() || entry.remote.size() < 2)
        return false;
    ensureLocalValue(entry.local);
    links.append(entry);
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (!shared->allSet.contains(entry.remote)) {
            shared->allSet.insert(entry.remote);
            shared->all.append(entry.remote);
        }
        if (!shared->fresh.contains(entry.remote))
            shared->fresh.append(entry.remote);
    }
    if (connected)
        pendingCode = ChangeCode::ClientReconnected;
    return true;
}

bool VtClient::IsConnected() const
{
    return connected;
}

QString VtClient::Host() const
{
    return host;
}

int VtClient::Port() const
{
    return port;
}

void VtClient::applyBatch(const QList<RemoteEntry> &entries, const QStringList &covered, bool full, bool handover)
{
    ObservableWatch watch(this);
    if (full) {
        for (Link &link : links)
            link.synced = false;
        pendingCode = everConnected ? ChangeCode::ClientReconnected : ChangeCode::ClientConnected;
    }
    const QSet<QString> coveredSet(covered.begin(), covered.end());
    for (Link &link : links) {
        if (coveredSet.contains(link.remote))
            link.synced = true;
    }
    // Writes notify the local values' observers, which may destroy this
    // client; links are read by index and copied for that reason.
    for (const RemoteEntry &entry : entries) {
        for (int i = 0; i < links.size(); ++i) {
            if (links.at(i).remote != entry.path)
                continue;
            const Link link = links.at(i);
            writeLocal(link, entry);
            if (watch.destroyed())
                return;
        }
    }
    settle();
    if (watch.destroyed())
        return;
    if (handover) {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->awaitingHandover = false;
        shared->wakeup.notify_all();
    }
}

void VtClient::connectionLost()
{
    for (Link &link : links)
        link.synced = false;
    pendingCode = 0;
    if (!connected)
        return;
    connected = false;
    NotifyObservers(ChangeCode::ClientLost, nullptr);
}

void VtClient::settle()
{
    if (!pendingCode)
        return;
    for (const Link &link : qAsConst(links)) {
        if (!link.synced)
            return;
    }
    const unsigned int code = pendingCode;
    pendingCode = 0;
    connected = true;
    everConnected = true;
    ObservableWatch watch(this);
    NotifyObservers(code, nullptr);
    if (watch.destroyed() || code != ChangeCode::ClientConnected || !connected)
        return;
    // The observers have had their chance to add links; once those are
    // mirrored (or at once, when there are none) the connection is reported
    // complete.
    pendingCode = ChangeCode::ClientReconnected;
    QMetaObject::invokeMethod(this, [this] { settle(); }, Qt::QueuedConnection);
}

void VtClient::writeLocal(const Link &link, const RemoteEntry &entry)
{
    // A value that vanished remotely keeps its last text here.
    if (!entry.present)
        return;
    values::ValueBase *value = ensureLocalValue(link.local);
    if (value)
        value->SetStringValue(entry.text, nullptr);
}

values::ValueBase *VtClient::ensureLocalValue(const QString &path)
{
    values::Tree *tree = values::Tree::Instance();
    if (!tree)
        return nullptr;
    if (values::ValueBase *existing = tree->FindValue(path))
        return existing;
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QString parent = slash < 0 ? QStringLiteral("/") : path.left(slash + 1);
    const QString name = path.mid(slash + 1);
    if (name.isEmpty())
        return nullptr;

    // Nodes that the insertion creates are noted, so that they can go again
    // once no client needs them.
    QStringList missingNodes;
    QString nodePath;
    for (const QString &segment : parent.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        nodePath += QLatin1Char('/') + segment;
        if (!missingNodes.isEmpty() || !tree->FindNode(nodePath))
            missingNodes.append(nodePath);
    }

    auto *value = new values::Value<QString>;
    value->SetName(name, nullptr);
    bool inserted = false;
    try {
        inserted = tree->AddValue(parent, value);
    } catch (const ZRException &) {
        // A value stands on the parent path: this link has no local value.
    }
    VtClientCenterPrivate::noteCreatedNodes(missingNodes);
    if (!inserted) {
        delete value;
        return nullptr;
    }
    // A mirror that someone else removes is created again by the next write;
    // without this, every such removal would leave a null pointer behind.
    createdValues.erase(std::remove_if(createdValues.begin(), createdValues.end(),
                                       [](const std::unique_ptr<values::ValuePtr<values::ValueBase>> &held) {
                                           return !*held;
                                       }),
                        createdValues.end());
    createdValues.push_back(std::make_unique<values::ValuePtr<values::ValueBase>>(value));
    return value;
}

void VtClient::removeCreated()
{
    values::Tree *tree = values::Tree::Instance();
    for (auto &held : createdValues) {
        values::ValueBase *value = held->get();
        if (tree && value && value->GetParent())
            tree->RemoveValue(value->GetPath());
    }
    createdValues.clear();
    VtClientCenterPrivate::dropEmptyNodes();
}

void VtClient::post(std::function<void()> task)
{
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->inbox.push_back(std::move(task));
    }
    QMetaObject::invokeMethod(this, [this] { takeInbox(); }, Qt::QueuedConnection);
}

void VtClient::takeInbox()
{
    // A task may lead an observer to destroy this client.
    ObservableWatch watch(this);
    const std::shared_ptr<Shared> keep = shared;
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard<std::mutex> lock(keep->mutex);
            if (keep->inbox.empty())
                return;
            task = std::move(keep->inbox.front());
            keep->inbox.pop_front();
        }
        task();
        if (watch.destroyed())
            return;
    }
}

void VtClient::run()
{
    // Runs on the network thread. It touches nothing of this object but
    // `shared` and the constants, and reaches the owner only by posting.
    omni_thread::ensure_self threadForOrb;
    struct Running
    {
        Running() { ++runningNetworkThreads; }
        ~Running() { --runningNetworkThreads; }
    } running;
    const QByteArray address = VtClientCenter::ServerAddress(host, port).toLatin1();
    const int waitMs = qMax(0, timing.waitMs);
    quint64 epoch = 0;
    quint64 since = 0;
    bool online = false;

    auto pause = [this](int ms) {
        std::unique_lock<std::mutex> lock(shared->mutex);
        return !shared->wakeup.wait_for(lock, std::chrono::milliseconds(ms), [this] { return shared->stop; });
    };
    auto failed = [&] {
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->inCall = false;
        }
        if (online)
            post([this] { connectionLost(); });
        online = false;
        epoch = 0;
        return pause(timing.retryMs);
    };

    for (;;) {
        VornValueTree::TreeServer_var server;
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            if (shared->stop)
                break;
            server = VornValueTree::TreeServer::_duplicate(shared->server);
        }
        if (CORBA::is_nil(server)) {
            CORBA::ORB_ptr orb = CorbaCommon::OrbHandler::Instance().Orb();
            if (CORBA::is_nil(orb)) {
                if (!pause(timing.retryMs))
                    break;
                continue;
            }
            try {
                CORBA::Object_var object = orb->string_to_object(address.constData());
                server = VornValueTree::TreeServer::_unchecked_narrow(object);
                omniORB::setClientCallTimeout(server, static_cast<CORBA::ULong>(waitMs + timing.callMarginMs));
            } catch (const CORBA::Exception &) {
                if (!pause(timing.retryMs))
                    break;
                continue;
            }
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->server = VornValueTree::TreeServer::_duplicate(server);
        }

        QStringList watched;
        QStringList fresh;
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            watched = shared->all;
            if (online)
                fresh = shared->fresh;
            shared->fresh.clear();
            shared->inCall = true;
        }

        VornValueTree::Changes_var changes;
        try {
            changes = server->WaitChanges(online ? epoch : 0, since, toPathList(watched), toPathList(fresh),
                                          static_cast<CORBA::ULong>(waitMs), shared->waiter);
        } catch (const VornValueTree::Busy &) {
            if (!failed())
                break;
            continue;
        } catch (const CORBA::SystemException &) {
            if (!failed())
                break;
            continue;
        } catch (const CORBA::Exception &) {
            if (!failed())
                break;
            continue;
        }

        bool handover = false;
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->inCall = false;
            if (shared->stop)
                break;
            const bool restarted = online && changes->epoch != epoch;
            const bool full = !online || restarted;
            handover = full || !fresh.isEmpty();
            shared->awaitingHandover = handover;
            const QList<RemoteEntry> entries = toEntries(changes->entries);
            const QStringList covered = full ? watched + fresh : fresh;
            if (restarted)
                shared->inbox.emplace_back([this] { connectionLost(); });
            shared->inbox.emplace_back(
                [this, entries, covered, full, handover] { applyBatch(entries, covered, full, handover); });
        }
        QMetaObject::invokeMethod(this, [this] { takeInbox(); }, Qt::QueuedConnection);
        epoch = changes->epoch;
        since = changes->serial;
        online = true;

        if (handover) {
            std::unique_lock<std::mutex> lock(shared->mutex);
            shared->wakeup.wait_for(lock, std::chrono::milliseconds(timing.handoverMs),
                                    [this] { return shared->stop || !shared->awaitingHandover; });
            shared->awaitingHandover = false;
        }
    }

    // The reference is released on the thread that used it.
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->server = VornValueTree::TreeServer::_nil();
    shared->inCall = false;
}
}
