#include "receivertrees.h"

#include "iobserver.h"
#include "ivtclient.h"
#include "tree.h"
#include "treehost.h"
#include "treepathhelpers.h"
#include "valuebase.h"
#include "valueptr.h"
#include "vtclientcenter.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEvent>
#include <QObject>
#include <QThread>

#include <array>
#include <deque>
#include <functional>
#include <mutex>

namespace installationview
{
namespace
{
// Where the clients mirror into the view's own tree; nothing else lives there.
const QString localRoot = QStringLiteral("/INSTALLATIONVIEW");

enum Field { Antenna, MatrixOut, LastDriverError, UsingAntennaMatrix, DriverOccupied, MatrixState, FieldCount };
// Below the receiver's driver path; local names have no "/" of their own.
const char *const remoteNames[FieldCount]
    = {"ANTENNA", "ANTENNAS/MatrixOut", "LASTDRIVERERROR", "USINGANTENNAMATRIX", "DRIVEROCCUPIED", "MATRIXSTATE"};
const char *const localNames[FieldCount]
    = {"ANTENNA", "MatrixOut", "LASTDRIVERERROR", "USINGANTENNAMATRIX", "DRIVEROCCUPIED", "MATRIXSTATE"};

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

using ValueLink = values::ValueObservingPtr<values::ValueBase>;

QString textOf(const ValueLink *link)
{
    return link && *link ? (*link)->GetStringValue() : QString();
}
}

class Mirror;

// Work for the trees' thread crosses threads as tasks in an inbox under a
// std::mutex, and the thread is only woken by a plain posted event: race
// detectors do not see Qt's own locks, so nothing of ours rides inside Qt's
// queue.
class Waker : public QObject
{
public:
    explicit Waker(ReceiverTrees::Private &owner)
        : owner(owner)
    {
    }
    bool event(QEvent *e) override;

private:
    ReceiverTrees::Private &owner;
};

struct ReceiverTrees::Private
{
    class Thread : public QThread
    {
    public:
        explicit Thread(Private &owner)
            : owner(owner)
        {
        }

    protected:
        void run() override;

    private:
        Private &owner;
    };

    Timing timing;
    Thread thread {*this};

    // Tree thread only.
    std::map<QString, std::unique_ptr<Mirror>> mirrors;
    int nextIndex = 0;

    mutable std::mutex mutex; // guards what follows
    std::map<QString, ReceiverReading> shared;
    std::deque<std::function<void()>> inbox;
    // The latest list from follow(); several before the thread took one in
    // leave the last.
    std::unique_ptr<std::vector<ReceiverAddress>> pending;
    Waker *waker = nullptr; // while the thread runs its loop

    // Any thread.
    void post(std::function<void()> task)
    {
        std::lock_guard<std::mutex> lock(mutex);
        inbox.push_back(std::move(task));
        if (waker)
            QCoreApplication::postEvent(waker, new QEvent(QEvent::User));
    }
    // Tree thread: runs what was posted, in order.
    void drain()
    {
        for (;;) {
            std::function<void()> task;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (inbox.empty())
                    return;
                task = std::move(inbox.front());
                inbox.pop_front();
            }
            task();
        }
    }
    void apply(const std::vector<ReceiverAddress> &receivers);
    void renew(const QString &key);
    void publish(const QString &key, const ReceiverReading &reading)
    {
        std::lock_guard<std::mutex> lock(mutex);
        shared[key] = reading;
    }
};

// Whatever the event, the inbox is looked at; a spurious look costs nothing.
bool Waker::event(QEvent *e)
{
    owner.drain();
    return QObject::event(e);
}

void ReceiverTrees::Private::Thread::run()
{
    // The clients write into the process's tree; this thread owns it.
    values::TreeHost::Create();
    VtClientCenter::Timing t = VtClientCenter::Instance()->GetTiming();
    t.waitMs = owner.timing.waitMs;
    t.retryMs = owner.timing.retryMs;
    t.callMarginMs = owner.timing.callMarginMs;
    VtClientCenter::Instance()->SetTiming(t);
    auto waker = std::make_unique<Waker>(owner);
    {
        std::lock_guard<std::mutex> lock(owner.mutex);
        owner.waker = waker.get();
    }
    owner.drain();
    exec();
    {
        std::lock_guard<std::mutex> lock(owner.mutex);
        owner.waker = nullptr;
    }
    owner.mirrors.clear();
}

// One receiver's client and the local mirrors of its values. Tree thread.
class Mirror : public IObserver
{
public:
    Mirror(ReceiverTrees::Private &owner, const ReceiverAddress &address, int index)
        : address(address)
        , owner(owner)
        , base(QStringLiteral("%1/R%2").arg(localRoot).arg(index))
    {
        reading.createdAt = nowMs();
        client = VtClientCenter::Instance()->CreateVtClient(address.host.toLatin1().constData(), address.port);
        if (client) {
            client->AddObserver(this);
            // The rest can be linked only once the tree has told where its
            // driver's values are.
            link(driverPath, base + QStringLiteral("/DRIVERVTPATH"), QStringLiteral("/ADMINISTRATION/DRIVERVTPATH"));
        }
        owner.publish(address.key, reading);
    }

    ~Mirror() override
    {
        // Our observers go first, so that the client's removal of its local
        // values and its code 18 reach nobody here.
        inputs.clear();
        for (auto &field : fields)
            field.reset();
        driverPath.reset();
        if (client) {
            client->DeleteObserver(this);
            VtClientCenter::Instance()->DestroyVtClient(client);
        }
    }

    const ReceiverAddress address;

protected:
    void Notify(Observable *subject, unsigned int code) override
    {
        if (client && subject == client) {
            if (code == 18) {
                client = nullptr;
                reading.connected = false;
            } else if (code == 17) {
                reading.connected = false;
            } else if ((code == 15 || code == 16) && client->IsConnected()) {
                reading.connected = reading.everConnected = true;
                reading.lastSeen = nowMs();
                linkDriver();
            } else {
                return;
            }
            read();
            return;
        }
        if (code != 3)
            return;
        if (subject == driverPath.get()) {
            const QString path = textOf(&driverPath);
            if (!linkedPath.isEmpty() && path != linkedPath) {
                // Links cannot be taken back: a receiver that moved its driver
                // gets a fresh client.
                const QString key = address.key;
                ReceiverTrees::Private &o = owner;
                o.post([&o, key] { o.renew(key); });
                return;
            }
            linkDriver();
        }
        read();
    }

private:
    void link(ValueLink &target, const QString &local, const QString &remote)
    {
        const QByteArray text = (local + QLatin1Char(',') + remote).toLocal8Bit();
        if (!client->AddValueLink(text.constData(), ""))
            return;
        values::Tree *tree = values::Tree::Instance();
        target.reset(tree ? tree->FindValue(local) : nullptr);
    }

    void linkDriver()
    {
        const QString path = textOf(&driverPath);
        if (!client || !linkedPath.isEmpty() || path.isEmpty())
            return;
        linkedPath = path;
        reading.driverPath = path;
        for (int f = 0; f < FieldCount; ++f) {
            fields[std::size_t(f)] = std::make_unique<ValueLink>(this);
            link(*fields[std::size_t(f)], base + QLatin1Char('/') + QLatin1String(localNames[f]),
                TreePathHelpers::concatTreePaths(path, QLatin1String(remoteNames[f])));
        }
    }

    void linkAntenna(const QString &name)
    {
        if (!client || linkedPath.isEmpty() || name.isEmpty() || name.contains(QLatin1Char('/')) || inputs.count(name)
            || int(inputs.size()) >= ReceiverTrees::maxAntennasPerReceiver)
            return;
        // Antenna names may hold commas, which a link's local path may not.
        auto &input = inputs[name];
        input = std::make_unique<ValueLink>(this);
        link(*input, QStringLiteral("%1/INPUTS/A%2").arg(base).arg(inputs.size()),
            TreePathHelpers::concatTreePaths(
                {linkedPath, QStringLiteral("ANTENNAS"), name, QStringLiteral("ExternalNumber")}));
    }

    void read()
    {
        const auto text = [this](Field f) { return textOf(fields[std::size_t(f)].get()); };
        reading.antenna = text(Antenna);
        linkAntenna(reading.antenna);
        const auto selected = inputs.find(reading.antenna);
        reading.input = selected == inputs.end() ? QString() : textOf(selected->second.get());
        reading.matrixOut = text(MatrixOut);
        reading.lastDriverError = text(LastDriverError);
        reading.usingAntennaMatrix = text(UsingAntennaMatrix);
        reading.driverOccupied = text(DriverOccupied);
        reading.matrixState = text(MatrixState);
        reading.knownInputs.clear();
        for (const auto &entry : inputs) {
            bool ok = false;
            const int port = textOf(entry.second.get()).toInt(&ok);
            if (ok && port > 0)
                reading.knownInputs.insert(entry.first, port);
        }
        owner.publish(address.key, reading);
    }

    ReceiverTrees::Private &owner;
    const QString base;
    IVtClient *client = nullptr;
    ValueLink driverPath {this};
    QString linkedPath;
    std::array<std::unique_ptr<ValueLink>, FieldCount> fields;
    std::map<QString, std::unique_ptr<ValueLink>> inputs;
    ReceiverReading reading;
};

void ReceiverTrees::Private::apply(const std::vector<ReceiverAddress> &receivers)
{
    std::map<QString, const ReceiverAddress *> wanted;
    for (const ReceiverAddress &r : receivers)
        wanted.emplace(r.key, &r);
    for (auto it = mirrors.begin(); it != mirrors.end();) {
        const auto found = wanted.find(it->first);
        if (found != wanted.end() && found->second->host == it->second->address.host
            && found->second->port == it->second->address.port) {
            ++it;
            continue;
        }
        const QString key = it->first;
        it = mirrors.erase(it);
        std::lock_guard<std::mutex> lock(mutex);
        shared.erase(key);
    }
    for (const auto &w : wanted) {
        if (!mirrors.count(w.first))
            mirrors[w.first] = std::make_unique<Mirror>(*this, *w.second, nextIndex++);
    }
}

void ReceiverTrees::Private::renew(const QString &key)
{
    const auto found = mirrors.find(key);
    if (found == mirrors.end())
        return;
    const ReceiverAddress address = found->second->address;
    found->second.reset();
    found->second = std::make_unique<Mirror>(*this, address, nextIndex++);
}

ReceiverTrees::ReceiverTrees(const Timing &timing)
    : d(std::make_unique<Private>())
{
    d->timing = timing;
    d->thread.setObjectName(QStringLiteral("receiver-trees"));
    d->thread.start();
}

ReceiverTrees::~ReceiverTrees()
{
    // The thread destroys the clients once its loop has ended.
    d->thread.quit();
    d->thread.wait();
}

void ReceiverTrees::follow(const std::vector<ReceiverAddress> &receivers)
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->pending = std::make_unique<std::vector<ReceiverAddress>>(receivers);
    }
    Private *p = d.get();
    d->post([p] {
        std::unique_ptr<std::vector<ReceiverAddress>> list;
        {
            std::lock_guard<std::mutex> lock(p->mutex);
            list = std::move(p->pending);
        }
        // Several follow() calls before this one ran leave the last list.
        if (list)
            p->apply(*list);
    });
}

std::map<QString, ReceiverReading> ReceiverTrees::readings() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->shared;
}
}
