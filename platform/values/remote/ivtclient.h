// A connection to the value tree of another workstation that mirrors chosen
// remote values into the local value tree.
#pragma once

#include "observable.h"

#include <QString>

// Event codes sent to the observers (see changecodes.h):
//  15  connected for the first time; IsConnected() is true. Observers may add
//      links now; once they are mirrored a 16 follows.
//  16  connected again after a loss, or the links added while connected are
//      now mirrored. IsConnected() is true.
//  17  the connection was lost; the client keeps trying to reconnect.
//  18  the client is going away: drop the pointer and call nothing more.
//
// When 15 or 16 arrives, every linked local value already holds the remote
// content. Notifications and writes into the local tree happen on the thread
// that created the client (through VtClientCenter), from its event loop; the
// client must be used and destroyed on that thread, which must be the thread
// that owns the value tree.
class IVtClient : public Observable
{
public:
    // `link` is "localPath,remotePath" in the local 8-bit encoding: the
    // remote value is mirrored into the local value at localPath, which is
    // created as a string value when missing and reused when present.
    // `options` is reserved; pass "". false for a malformed link.
    virtual bool AddValueLink(const char *link, const char *options) = 0;
    virtual bool IsConnected() const = 0;
    virtual QString Host() const = 0;
    virtual int Port() const = 0;

protected:
    IVtClient() = default;
    // Clients are destroyed only through VtClientCenter::DestroyVtClient.
    ~IVtClient() override = default;
};
