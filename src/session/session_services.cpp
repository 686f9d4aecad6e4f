#include "session/session_services.h"

#include "net/center_connection.h"
#include "queue/guarded_queue.h"

namespace parlon {

SessionServices SessionServices::Real() {
    SessionServices services;
    services.makeCenterLink = [](const ParlonEntry& ownEntry, const PeerAddress& center) {
        return std::unique_ptr<CenterLink>(std::make_unique<CenterConnection>(ownEntry, center));
    };
    services.incoming = &g_incoming;
    return services;
}

}  // namespace parlon
