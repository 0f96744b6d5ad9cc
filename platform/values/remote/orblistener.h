// Where the process's ORB accepts connections, and how a host that serves its
// value tree makes it accept them on a port of its choice after the ORB is up.
#pragma once

#include <QString>

namespace vtremote
{
// Makes the ORB listen on address:port (port 0: any free one) unless it
// listens already (it was given endpoints, or something served an object).
// Then reports in `listeningPort` the TCP port it really listens on. false,
// with `error` set, when it cannot listen there or listens elsewhere.
bool listenForTreeServer(const QString &address, int port, int *listeningPort, QString *error);
}
