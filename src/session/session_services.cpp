#include "session/session_services.h"

#include "crypto/encryption_context.h"
#include "net/center_connection.h"
#include "net/peer_listener.h"
#include "queue/guarded_queue.h"

namespace parlon {

SessionServices SessionServices::Real() {
    SessionServices services;
    services.makeCenterLink = [](const ParlonEntry& ownEntry, const PeerAddress& center) {
        return std::unique_ptr<CenterLink>(std::make_unique<CenterConnection>(ownEntry, center));
    };
    services.startListener = [](const PeerAddress& own, GuardedQueue& queue, std::string& error) {
        return PeerListener::Start(own, queue, error);
    };
    services.makeEncryption = [](const PeerAddress& ownAddress,
                                 const std::vector<ParlonEntry>* parlons) {
        return std::make_unique<EncryptionContext>(ownAddress, parlons);
    };
    services.incoming = &g_incoming;
    return services;
}

}  // namespace parlon
