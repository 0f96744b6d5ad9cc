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
        // While a process has no more clients than network threads, how
        // long the server holds a poll that has nothing to report; beyond
        // that, the pause between two polls of a client. A remote change
        // reaches the client within this time (plus one round trip).
        int waitMs = 1000;
        // Pause between connection attempts while the server is unreachable;
        // it doubles with each failure in a row, up to eight times.
        int retryMs = 300;
        // A poll fails when it takes its hold plus this long.
        int callMarginMs = 1500;
        // How long the network side waits for the owner's thread to take in
        // a connection before it polls again.
        int handoverMs = 1000;
    };

    static VtClientCenter *Instance();

    virtual ~VtClientCenter();
    // A new client of the tree server at host:port, or null for an empty host
    // or a port outside 1..65535. The client belongs to the calling thread
    // and starts connecting at once, in the background. All clients of a
    // process share a few network threads (see vtnetworkpool.h); a client
    // for which no thread can be started is traced and stays disconnected.
    virtual IVtClient *CreateVtClient(const char *host, int port);
    // Sends 18 to the client's observers, removes the local values it
    // created and destroys it. Call on the client's thread. It does not wait
    // for the network: a poll under way ends on its network thread, bounded
    // by the call timeout. false for a client this center does not know.
    virtual bool DestroyVtClient(IVtClient *client);

    void SetTiming(const Timing &timing);
    Timing GetTiming() const;
    // Clients created and not yet destroyed.
    int ClientCount() const;
    // Network threads running; none a while after every client is destroyed
    // (once a poll under way has returned).
    static int NetworkThreadCount();

    // Corbaloc of the tree server at host:port.
    static QString ServerAddress(const QString &host, int port);

protected:
    VtClientCenter();

private:
    struct Private;
    Private *d;
};
