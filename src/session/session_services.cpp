#include "session/session_services.h"

#include "crypto/encryption_context.h"
#include "net/exchange_pool.h"
#include "net/pooled_center_link.h"
#include "queue/guarded_queue.h"

namespace parlon {

SessionServices SessionServices::Real() {
    SessionServices services;
    services.makeCenterLink = [pool = std::make_shared<ExchangePool>()](const ParlonEntry& ownEntry,
                                                                        const PeerAddress& center) {
        return std::unique_ptr<CenterLink>(
            std::make_unique<PooledCenterLink>(ownEntry, center, pool));
    };
    services.makeEncryption = [](const PeerAddress& ownAddress,
                                 const std::vector<ParlonEntry>& parlons) {
        return std::make_unique<EncryptionContext>(ownAddress, parlons);
    };
    services.incoming = &g_incoming;
    services.now = [] { return std::chrono::steady_clock::now(); };
    return services;
}

}  // namespace parlon
