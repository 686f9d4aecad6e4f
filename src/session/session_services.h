// SessionServices: the factories of the ParlonSession's transport to the center, which tests
// replace with a fake, and of its key pair; the queue its listener fills, and its clock. Real()
// gives the production ones.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "common/wire_records.h"

namespace parlon {

class CenterLink;
class EncryptionContext;
class GuardedQueue;

struct SessionServices {
    // A transport registered with `ownEntry` at `center`.
    std::function<std::unique_ptr<CenterLink>(const ParlonEntry& ownEntry,
                                              const PeerAddress& center)>
        makeCenterLink;
    // A fresh key pair for `ownAddress`, routing over `parlons` (which outlives it). The relay
    // benchmark opens its layers with keys it knows; everything else uses the real generator.
    std::function<std::unique_ptr<EncryptionContext>(const PeerAddress& ownAddress,
                                                     const std::vector<ParlonEntry>& parlons)>
        makeEncryption;
    // The queue the listener fills and the session drains; not owned, outlives the session.
    GuardedQueue* incoming = nullptr;
    // The clock by which the session judges a message lost.
    std::function<std::chrono::steady_clock::time_point()> now;

    // The real ones: the links of one session share one pool of exchanges, which lives as long
    // as the services and their links (its destruction waits, bounded, for a last sign-off).
    static SessionServices Real();
};

}  // namespace parlon
