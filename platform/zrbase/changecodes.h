// Change codes that observables of the platform send to their observers.
#pragma once

namespace ChangeCode
{
enum : unsigned int {
    StateChanged = 2,        // a value's state changed; GetState() has the new one
    ValueChanged = 3,        // a value's content changed
    ClientConnected = 15,    // a value-tree client connected
    ClientReconnected = 16,  // a value-tree client connected again
    ChildrenChanged = 16,    // a node's children were added or removed
    ClientLost = 17,         // a value-tree client lost its connection
    ClientGoingAway = 18,    // a value-tree client is being destroyed
    CommandReceived = 19,    // a command for a value was received
};
}
