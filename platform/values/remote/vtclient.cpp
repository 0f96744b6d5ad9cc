#include "vtclient.h"

#include "changecodes.h"
#include "errorhandler.h"
#include "node.h"
#include "observablewatch.h"
#include "orbhandlerhost.h"
#include "trace.h"
#include "tree.h"
#include "value.h"
#include "valueptr.h"
#include "vtclientcenterprivate.h"
#include "vtnetworkpool.h"
#include "zrexception.h"

#include <QRandomGenerator>

#include <algorithm>

namespace vtremote
{
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

// The tree finds a value whatever the slashes between, before or after its
// names; one spelling per value keeps a value linked twice from coming twice
// in every answer (a megabyte text twice would outgrow a GIOP message).
QString normalRemote(const QString &path)
{
    return QLatin1Char('/') + path.split(QLatin1Char('/'), Qt::SkipEmptyParts).join(QLatin1Char('/'));
}

void trace(const QString &message)
{
    if (ErrorHandler::Instance()->GetTraceFilter() & 0x20u)
        _Q_Trace(message, QStringLiteral(__FILE__), static_cast<quint16>(__LINE__));
}

// Network thread, under job.mutex: queues a task for the owner's thread and
// asks that thread to run the queue. false once the client is going.
bool postLocked(Shared &job, std::function<void()> task)
{
    VtClient *owner = job.owner;
    if (!owner)
        return false;
    job.inbox.push_back(std::move(task));
    QMetaObject::invokeMethod(
        owner, [owner] { owner->takeInbox(); }, Qt::QueuedConnection);
    return true;
}

// Pause before the next attempt after `failures` failed polls in a row: a
// server that is gone or hung is tried less and less often, up to eight
// times the configured pause.
int retryDelay(const Shared &job, int failures)
{
    return qMax(1, job.timing.retryMs) << std::min(failures, 3);
}
}

Shared::Shared(const QString &host, int port, const VtClientCenter::Timing &timing)
    : address(VtClientCenter::ServerAddress(host, port).toLatin1())
    , label(QStringLiteral("%1:%2").arg(host).arg(port))
    , timing(timing)
    , waiter(QRandomGenerator::system()->generate64() | 1u)
{
}

void releaseServer(Shared &job)
{
    job.net.server = VornValueTree::TreeServer::_nil();
}

PollResult pollOnce(Shared &job, int failures)
{
    Shared::Net &net = job.net;
    {
        std::lock_guard<std::mutex> lock(job.mutex);
        if (!job.owner)
            return {-1, false};
    }
    auto failed = [&] {
        std::lock_guard<std::mutex> lock(job.mutex);
        if (net.online)
            postLocked(job, [owner = job.owner] { owner->connectionLost(); });
        net.online = false;
        net.epoch = 0;
        return PollResult {retryDelay(job, failures + 1), true};
    };

    if (CORBA::is_nil(net.server)) {
        CORBA::ORB_ptr orb = CorbaCommon::OrbHandlerHost::Orb();
        if (CORBA::is_nil(orb))
            return {job.timing.retryMs, false};
        try {
            CORBA::Object_var object = orb->string_to_object(job.address.constData());
            net.server = VornValueTree::TreeServer::_unchecked_narrow(object);
        } catch (const CORBA::Exception &) {
            return failed();
        }
    }

    // A held poll occupies its thread; that is affordable only while every
    // client can have a thread to itself.
    const int holdMs = NetworkPool::instance().holdPolls() ? qMax(0, job.timing.waitMs) : 0;
    QStringList watched;
    QStringList fresh;
    {
        std::lock_guard<std::mutex> lock(job.mutex);
        watched = job.all;
        if (net.online)
            fresh = job.fresh;
        job.fresh.clear();
        job.freshSet.clear();
    }

    VornValueTree::Changes_var changes;
    try {
        omniORB::setClientCallTimeout(net.server, static_cast<CORBA::ULong>(holdMs + qMax(1, job.timing.callMarginMs)));
        changes = net.server->WaitChanges(net.online ? net.epoch : 0, net.since, toPathList(watched), toPathList(fresh),
            static_cast<CORBA::ULong>(holdMs), job.waiter);
    } catch (const CORBA::Exception &) {
        // Busy, Refused, a timeout or a lost connection: all end the same
        // way, with a pause and a full poll once the server answers again.
        return failed();
    }

    const bool restarted = net.online && changes->epoch != net.epoch;
    const bool full = !net.online || restarted;
    const bool handover = full || !fresh.isEmpty();
    const QStringList covered = full ? watched + fresh : fresh;
    {
        std::lock_guard<std::mutex> lock(job.mutex);
        VtClient *owner = job.owner;
        if (!owner)
            return {-1, false};
        if (restarted)
            job.inbox.emplace_back([owner] { owner->connectionLost(); });
        if (handover || changes->entries.length() > 0) {
            postLocked(job, [owner, entries = toEntries(changes->entries), covered, full, handover] {
                owner->applyBatch(entries, covered, full, handover);
            });
        }
    }
    net.epoch = changes->epoch;
    net.since = changes->serial;
    net.online = true;
    // After a hand-over the owner asks for the next poll once it has taken
    // the answer in (and added the links it wants); this is the fallback.
    if (handover)
        return {job.timing.handoverMs, false};
    return {holdMs > 0 ? 0 : qMax(1, job.timing.waitMs), false};
}

VtClient::VtClient(const QString &host, int port, const VtClientCenter::Timing &timing)
    : host(host)
    , port(port)
    , shared(std::make_shared<Shared>(host, port, timing))
{
    shared->owner = this;
    if (!NetworkPool::instance().attach(shared)) {
        trace(QStringLiteral("VtClient: no network thread could be started for %1; it stays disconnected until "
                             "one can be")
                  .arg(shared->label));
    }
}

VtClient::~VtClient()
{
    requestStop();
    removeCreated();
}

void VtClient::requestStop()
{
    if (stopped)
        return;
    stopped = true;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->owner = nullptr;
        shared->inbox.clear();
    }
    NetworkPool::instance().detach(shared);
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
        if (!shared->freshSet.contains(entry.remote)) {
            shared->freshSet.insert(entry.remote);
            shared->fresh.append(entry.remote);
        }
    }
    if (connected) {
        pendingCode = ChangeCode::ClientReconnected;
        if (!stopped)
            NetworkPool::instance().pollSoon(shared);
    }
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
    if (handover && !stopped)
        NetworkPool::instance().pollSoon(shared);
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
    QMetaObject::invokeMethod(
        this, [this] { settle(); }, Qt::QueuedConnection);
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
        VtClientCenterPrivate::dropEmptyNodesAbove(nodePath);
        return nullptr;
    }
    // A mirror that someone else removes is created again by the next write;
    // without this, every such removal would leave a null pointer behind.
    createdValues.erase(std::remove_if(createdValues.begin(), createdValues.end(),
                            [](const std::unique_ptr<values::ValuePtr<values::ValueBase>> &held) { return !*held; }),
        createdValues.end());
    createdValues.push_back(std::make_unique<values::ValuePtr<values::ValueBase>>(value));
    return value;
}

void VtClient::removeCreated()
{
    values::Tree *tree = values::Tree::Instance();
    for (auto &held : createdValues) {
        values::ValueBase *value = held->get();
        if (!tree || !value || !value->GetParent())
            continue;
        const QString parentPath = value->GetParent()->GetPath();
        tree->RemoveValue(value->GetPath());
        VtClientCenterPrivate::dropEmptyNodesAbove(parentPath);
    }
    createdValues.clear();
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
}
