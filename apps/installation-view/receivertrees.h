// What each receiver's own value tree tells about its driver: the selected
// antenna, that antenna's matrix input, the receiver's matrix output and the
// driver's reports. Read through the platform's value-tree clients, which
// report changes as they happen, so that a refresh only copies what came.
#pragma once

#include <QMap>
#include <QString>

#include <map>
#include <memory>
#include <vector>

namespace installationview
{
struct ReceiverAddress
{
    // Registration name and subsystem: two registrations of one tree are two
    // receivers to the operator.
    QString key;
    QString host;
    int port = 0;
};

// An empty text stands for a value that the tree does not have (or has
// empty): the client mirrors what exists and nothing else.
struct ReceiverReading
{
    bool connected = false;
    bool everConnected = false;
    qint64 createdAt = 0;
    qint64 lastSeen = 0; // last time it was connected
    // The receiver's own path in its tree (ADMINISTRATION/DRIVERVTPATH);
    // empty until the tree tells it.
    QString driverPath;
    QString antenna;
    QString input; // ANTENNAS/<antenna>/ExternalNumber of the selected antenna
    QString matrixOut;
    QString lastDriverError;
    QString usingAntennaMatrix;
    QString driverOccupied;
    QString matrixState;
    // Inputs of the antennas this receiver has selected so far, for the
    // crosspoint grid's labels.
    QMap<QString, int> knownInputs;
};

class ReceiverTrees
{
public:
    struct Timing
    {
        // How soon a remote change reaches the view, at most (the client's
        // pause between two polls once it has many peers).
        int waitMs = 500;
        int retryMs = 300;
        int callMarginMs = 1500;
    };

    // Starts the thread that owns the process's value tree and the clients.
    // The ORB must be up through the platform's OrbHandler.
    explicit ReceiverTrees(const Timing &timing);
    // Destroys the clients on their thread; does not wait for the network.
    ~ReceiverTrees();
    ReceiverTrees(const ReceiverTrees &) = delete;
    ReceiverTrees &operator=(const ReceiverTrees &) = delete;

    // Any thread: the receivers to follow from now on. Clients of receivers
    // no longer listed go, new ones are created; returns at once.
    void follow(const std::vector<ReceiverAddress> &receivers);
    // Any thread: the latest readings by key.
    std::map<QString, ReceiverReading> readings() const;

    // A receiver gets links for this many distinct antennas, no more: each
    // link is a path its tree server keeps for this view.
    static constexpr int maxAntennasPerReceiver = 64;

private:
    friend class Mirror;
    friend class Waker;
    struct Private;
    std::unique_ptr<Private> d;
};
}
