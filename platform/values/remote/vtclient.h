// The value-tree client behind IVtClient. Not part of the platform's
// interface: users see IVtClient and VtClientCenter only.
#pragma once

#include "ivtclient.h"
#include "vtclientcenter.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace values
{
class ValueBase;
template<typename T>
class ValuePtr;
}

namespace vtremote
{
struct Shared;
// Network threads of clients that have not finished yet.
extern std::atomic<int> runningNetworkThreads;

// One remote entry as it reached the client: path, text, whether a value
// exists there.
struct RemoteEntry
{
    QString path;
    QString text;
    bool present = false;
};

// Lives on the thread that created it. A network thread of its own polls the
// server and posts what it learns to this object, which applies it to the
// local tree and notifies the observers.
class VtClient : public QObject, public IVtClient
{
    Q_OBJECT

public:
    VtClient(const QString &host, int port, const VtClientCenter::Timing &timing);
    // Stops and joins the network thread and removes the local values this
    // client created. Runs on the owner's thread.
    ~VtClient() override;

    bool AddValueLink(const char *link, const char *options) override;
    bool IsConnected() const override;
    QString Host() const override;
    int Port() const override;

    // Tells the network thread to stop without waiting for it, so that many
    // clients can be stopped at once.
    void requestStop();

    // Network thread side; posted to this object.
    void applyBatch(const QList<RemoteEntry> &entries, const QStringList &covered, bool full, bool handover);
    void connectionLost();

private:
    // Network thread: queues a task for the owner's thread.
    void post(std::function<void()> task);
    // Owner's thread: runs what the network thread queued, in order.
    void takeInbox();

    struct Link
    {
        QString local;
        QString remote;
        bool synced = false;
    };

    void run();
    void writeLocal(const Link &link, const RemoteEntry &entry);
    values::ValueBase *ensureLocalValue(const QString &path);
    void settle();
    void removeCreated();

    const QString host;
    const int port;
    const VtClientCenter::Timing timing;
    std::shared_ptr<Shared> shared;
    std::thread worker;

    QList<Link> links;
    // Values this client put into the tree; they go with it. A pointer whose
    // value was removed by someone else is null and is dropped when the
    // client creates the next one.
    std::vector<std::unique_ptr<values::ValuePtr<values::ValueBase>>> createdValues;
    bool connected = false;
    bool everConnected = false;
    // 15 or 16 once every link is mirrored; 0 when nothing is due.
    unsigned int pendingCode = 0;
    bool settling = false;
};
}
