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
class VtTreeServer : public QObject
{
    Q_OBJECT

public:
    static const char *const ObjectKey;
    // The ORB arguments that make the ORB listen on `port`, on every
    // interface or on `listenHost` when given.
    static QStringList OrbArgs(int port, const QString &listenHost = QString());

    explicit VtTreeServer(QObject *parent = nullptr);
    // Ends running polls and withdraws the object from the ORB.
    ~VtTreeServer() override;

    // Needs the ORB up. false when the object cannot be activated.
    bool start();
    bool isRunning() const;
    // Paths the server watches for its clients.
    int watchedCount() const;

private:
    struct Private;
    Private *d;
};
