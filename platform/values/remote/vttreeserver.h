// Serves the process's value tree to the value-tree clients of other
// workstations, over the process's ORB.
#pragma once

#include <QObject>
#include <QStringList>

// The server is reached at corbaloc::<host>:<port>/ValueTree, so the ORB must
// listen on that port: the host passes OrbArgs(port) to OrbHandler::Init. One
// server per process.
//
// Threads: create, start and destroy it on the thread that owns the value
// tree. Remote calls arrive on ORB threads; they never touch the tree
// themselves but read a snapshot of the watched values that this object keeps
// current on the tree's thread, and hand writes and first reads of a path
// over to that thread with a bounded wait.
//
// Peers are strangers: what the server keeps for them is capped, and a
// request beyond a cap is refused (VornValueTree::Refused, with the reason).
// A peer is the waiter id of its polls. The server keeps the paths each peer
// asked for (a path's text once, however many peers watch it) and forgets a
// peer's list once it has not polled for PeerIdleMs. Paths without a value
// are looked up again only when a peer that watches them polls, at most every
// AbsentRecheckMs, so what idle or departed peers asked for costs nothing.
class VtTreeServer : public QObject
{
    Q_OBJECT

public:
    static const char *const ObjectKey;

    static constexpr int MaxPathsPerRequest = 256;
    static constexpr int MaxPathsPerPeer = 1024;
    static constexpr int MaxPeers = 1024;
    // Distinct paths watched for all peers together.
    static constexpr int MaxWatchedPaths = 16384;
    // Characters of the paths a peer watches, and of all watched paths
    // (a receiver's device path may be long, so single paths are not capped).
    static constexpr int MaxPathCharsPerPeer = 4 << 20;
    static constexpr int MaxWatchedPathChars = 16 << 20;
    static constexpr int PeerIdleMs = 30000;
    static constexpr int AbsentRecheckMs = 200;

    // Writes by peers (SetValue) are refused unless enabled, and then only
    // for values strictly below `below` and texts of at most `maxBytes`
    // bytes (UTF-8).
    struct WritePolicy
    {
        bool enabled = false;
        QString below;
        int maxBytes = 4096;
    };
    // The ORB arguments that make the ORB listen on `port`, on every
    // interface or on `listenHost` when given.
    static QStringList OrbArgs(int port, const QString &listenHost = QString());

    explicit VtTreeServer(QObject *parent = nullptr);
    // Ends running polls and withdraws the object from the ORB.
    ~VtTreeServer() override;

    // Needs the ORB up. false when the object cannot be activated.
    bool start();
    bool isRunning() const;
    void setWritePolicy(const WritePolicy &policy);
    // Paths the server watches for its peers.
    int watchedCount() const;
    // Peers whose watch lists it keeps.
    int peerCount() const;
    // Host side: forgets the peers that have been quiet for `idleMs` now,
    // rather than on the next sweep (tests).
    void forgetQuietPeers(int idleMs = PeerIdleMs);

private:
    struct Private;
    Private *d;
};
