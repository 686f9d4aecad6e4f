// SessionServices: the factories through which a ParlonSession reaches the network and the key
// generator, so that tests can substitute fakes. Real() gives the production ones.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/wire_records.h"

namespace parlon {

class CenterLink;
class EncryptionContext;
class GuardedQueue;
class PeerListener;

struct SessionServices {
    // A transport registered with `ownEntry` at `center`.
    std::function<std::unique_ptr<CenterLink>(const ParlonEntry& ownEntry,
                                              const PeerAddress& center)>
        makeCenterLink;
    // A listener on `own`'s port (and address, when it is this machine's) pushing onto the
    // session's incoming queue; null and `error` set on failure.
    std::function<std::unique_ptr<PeerListener>(const PeerAddress& own, GuardedQueue& queue,
                                                std::string& error)>
        startListener;
    // A fresh key pair for `ownAddress`, routing over `parlons`.
    std::function<std::unique_ptr<EncryptionContext>(const PeerAddress& ownAddress,
                                                     const std::vector<ParlonEntry>* parlons)>
        makeEncryption;
    // The queue the listener fills and the session drains; not owned, outlives the session.
    GuardedQueue* incoming = nullptr;

    static SessionServices Real();
};

}  // namespace parlon
