// The value-tree client behind IVtClient. Not part of the platform's
// interface: users see IVtClient and VtClientCenter only.
#pragma once

#include "ivtclient.h"
#include "vtclientcenter.h"

#include <valuetree.hh>

#include <QList>
#include <QObject>
#include <QSet>
#include <QStringList>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace values
{
class ValueBase;
template <typename T> class ValuePtr;
}

namespace vtremote
{
class VtClient;

// One remote entry as it reached the client: path, text, whether a value
// exists there.
struct RemoteEntry
{
    QString path;
    QString text;
    bool present = false;
};

// What a client shares with the network threads. It outlives the client
// when a thread is still in a call for it.
struct Shared
{
    Shared(const QString &host, int port, const VtClientCenter::Timing &timing);

    const QByteArray address;
    const QString label;
    const VtClientCenter::Timing timing;
    const quint64 waiter;

    // Owner's side, under `mutex`.
    std::mutex mutex;
    // Null once the client is going: nothing is posted to it any more.
    VtClient *owner = nullptr;
    // Every remote path linked so far, and those not yet read since they
    // were linked.
    QStringList all;
    QSet<QString> allSet;
    QStringList fresh;
    QSet<QString> freshSet;
    // What a network thread hands to the owner's thread. It goes through
    // this lock rather than inside the posted event, so that the hand-over is
    // ordered by a lock that race detectors see (Qt's own are invisible to
    // them).
    std::deque<std::function<void()>> inbox;

    // Touched only by the network thread that polls the client; the pool
    // hands a client to one thread at a time.
    struct Net
    {
        VornValueTree::TreeServer_var server;
        quint64 epoch = 0;
        quint64 since = 0;
        bool online = false;
    } net;

    // The pool's bookkeeping, under the pool's lock.
    struct Pool
    {
        bool attached = false;
        bool inQueue = false;
        bool polling = false;
        bool soon = false;
        bool holdsServer = false;
        bool countedFailing = false;
        int failures = 0;
        std::multimap<qint64, std::shared_ptr<Shared>>::iterator queued;
    } pool;
};

struct PollResult
{
    // When to poll again, in ms; -1: not any more.
    int nextMs;
    bool failed;
};
// Network thread: one poll of the client's server, after `failures` failed
// ones in a row.
PollResult pollOnce(Shared &job, int failures);
void releaseServer(Shared &job);

// Lives on the thread that created it. The network pool polls its server and
// posts what it learns to this object, which applies it to the local tree
// and notifies the observers.
class VtClient : public QObject, public IVtClient
{
    Q_OBJECT

public:
    VtClient(const QString &host, int port, const VtClientCenter::Timing &timing);
    // Removes the local values this client created. Does not wait for the
    // network: a poll under way ends on its own thread. Owner's thread.
    ~VtClient() override;

    bool AddValueLink(const char *link, const char *options) override;
    bool IsConnected() const override;
    QString Host() const override;
    int Port() const override;

    // Takes the client out of the network pool; nothing reaches it from
    // there any more.
    void requestStop();

    // Posted by the network side.
    void applyBatch(const QList<RemoteEntry> &entries, const QStringList &covered, bool full, bool handover);
    void connectionLost();
    // Owner's thread: runs what the network side queued, in order.
    void takeInbox();

private:
    struct Link
    {
        QString local;
        QString remote;
        bool synced = false;
    };

    void writeLocal(const Link &link, const RemoteEntry &entry);
    values::ValueBase *ensureLocalValue(const QString &path);
    void settle();
    void removeCreated();

    const QString host;
    const int port;
    std::shared_ptr<Shared> shared;
    bool stopped = false;

    QList<Link> links;
    // Values this client put into the tree; they go with it. A pointer whose
    // value was removed by someone else is null and is dropped when the
    // client creates the next one.
    std::vector<std::unique_ptr<values::ValuePtr<values::ValueBase>>> createdValues;
    bool connected = false;
    bool everConnected = false;
    // 15 or 16 once every link is mirrored; 0 when nothing is due.
    unsigned int pendingCode = 0;
};
}
