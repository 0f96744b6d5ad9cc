// Creates and destroys the clients through which a host mirrors values of
// other workstations' value trees.
#pragma once

#include <QString>

class IVtClient;

class VtClientCenter
{
public:
    // Timings of clients created afterwards. The defaults suit a host;
    // tests and benchmarks shorten them.
    struct Timing
    {
        // How long the server holds a poll that has nothing to report.
        int waitMs = 1000;
        // Pause between connection attempts while the server is unreachable.
        int retryMs = 300;
        // A poll fails when it takes waitMs plus this long.
        int callMarginMs = 1500;
        // How long the network thread waits for the owner's thread to take in
        // a connection before it polls again.
        int handoverMs = 1000;
    };

    static VtClientCenter *Instance();

    virtual ~VtClientCenter();
    // A new client of the tree server at host:port, or null for an empty host
    // or a port outside 1..65535. The client belongs to the calling thread
    // and starts connecting at once, in the background. Each client keeps one
    // poll open at its server: more clients of one server than the ORB opens
    // connections to it (omniORB: maxGIOPConnectionPerServer, 5 by default)
    // take turns and see changes later.
    virtual IVtClient *CreateVtClient(const char *host, int port);
    // Sends 18 to the client's observers, stops its network thread (waiting
    // at most for one poll bounded by the call timeout), removes the local
    // values it created and destroys it. Call on the client's thread. false
    // for a client this center does not know.
    virtual bool DestroyVtClient(IVtClient *client);

    void SetTiming(const Timing &timing);
    Timing GetTiming() const;
    // Clients created and not yet destroyed.
    int ClientCount() const;
    // Network threads of clients still running (none once every client is
    // destroyed).
    static int NetworkThreadCount();

    // Corbaloc of the tree server at host:port.
    static QString ServerAddress(const QString &host, int port);

protected:
    VtClientCenter();

private:
    struct Private;
    Private *d;
};
