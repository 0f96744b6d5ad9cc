// The installation-scale run of the mirroring benchmark: N receivers listed at
// once, connected, and dropped again, timed on the owner's thread.
#pragma once

#include <vector>

namespace mirroringtest
{
// Prints one "scale N=..." line per count on stdout. The receivers are
// served by a few vorn-host processes listening on every interface, each
// receiver reached under an address of its own in 127.0.0.0/8. false when
// a round could not complete.
bool runScaleRounds(const std::vector<int> &counts);
}
