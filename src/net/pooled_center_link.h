// PooledCenterLink: the session's transport. It runs the blocking exchanges of a
// CenterConnection (registration, sign-off, delivery of packets) on an ExchangePool, so that
// the session's thread only hands them over; the outcome of a registration waits in the link
// until the session takes it.
//
// The pool is shared (one per session, kept alive by its links); a delivery or registration
// still running when the link is destroyed finishes on the pool. Destruction hands the sign-off
// over ahead of the deliveries waiting, and it runs after any registration still in flight.
//
// THREAD SAFETY: one thread (the session's) uses a link.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "net/center_connection.h"
#include "net/center_link.h"
#include "net/exchange_pool.h"

namespace parlon {

class PooledCenterLink final : public CenterLink {
  public:
    PooledCenterLink(const ParlonEntry& ownEntry, const PeerAddress& center,
                     std::shared_ptr<ExchangePool> pool, TransportDeadlines deadlines = {});
    ~PooledCenterLink() override;
    PooledCenterLink(const PooledCenterLink&) = delete;
    PooledCenterLink& operator=(const PooledCenterLink&) = delete;

    void StartRegistration() override;
    std::optional<RegistrationOutcome> TakeRegistration() override;
    void Send(const PeerAddress& destination, const ByteBuffer& packet) override;
    std::chrono::milliseconds DeliveryDeadline() const override;

    // Where a registration's job leaves its outcome; shared with the job.
    struct Inbox {
        std::mutex mutex;
        std::optional<RegistrationOutcome> outcome;  // guarded by mutex
    };

  private:
    std::shared_ptr<ExchangePool> m_pool;
    const uint32_t m_sourceIp;  // deliveries leave from the own entry's address
    // Shared with the registration jobs; the last owner's release signs off.
    std::shared_ptr<CenterConnection> m_connection;
    std::shared_ptr<Inbox> m_inbox;
};

}  // namespace parlon
