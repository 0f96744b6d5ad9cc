// Helpers shared by the mirroring tests: the test process's ORB (listening on
// ports of its own, so that an in-process tree server can be reached), value
// lookups, and a recorder of value-tree client events.
#pragma once

#include "iobserver.h"
#include "ivtclient.h"

#include <QList>
#include <QString>
#include <QThread>

#include <vector>

namespace mirroringtest
{
// Brings the ORB up once per process with `listenPorts` endpoints on
// 127.0.0.1 and, when ccoPort is not 0, the CCO's initial reference. Later
// calls return the ports of the first one.
QList<int> ensureOrb(int listenPorts, int ccoPort = 0);

// The text of the value at `path`, or "<none>".
QString textAt(const QString &path);
void putText(const QString &path, const QString &text);
bool nodeExists(const QString &path);

// Network threads of value-tree clients still running.
int clientThreadCount();

struct ClientEvent
{
    unsigned int code;
    QThread *thread;
    bool connected;
};

class ClientRecorder : public IObserver
{
public:
    explicit ClientRecorder(IVtClient *client);
    ~ClientRecorder() override;

    std::vector<unsigned int> codes() const;
    int count(unsigned int code) const;
    std::vector<ClientEvent> events;
    // The texts of these local paths as they stood at each 15 or 16.
    QStringList watchPaths;
    QList<QStringList> textsAtConnect;

protected:
    void Notify(Observable *subject, unsigned int code) override;

private:
    IVtClient *client;
};
}
