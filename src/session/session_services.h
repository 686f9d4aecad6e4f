// SessionServices: the factory of the ParlonSession's transport to the center, which tests
// replace with a fake, and the queue its listener fills. Real() gives the production ones.
#pragma once

#include <functional>
#include <memory>

#include "common/wire_records.h"

namespace parlon {

class CenterLink;
class GuardedQueue;

struct SessionServices {
    // A transport registered with `ownEntry` at `center`.
    std::function<std::unique_ptr<CenterLink>(const ParlonEntry& ownEntry,
                                              const PeerAddress& center)>
        makeCenterLink;
    // The queue the listener fills and the session drains; not owned, outlives the session.
    GuardedQueue* incoming = nullptr;

    static SessionServices Real();
};

}  // namespace parlon
