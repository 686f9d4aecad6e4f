#include "net/pooled_center_link.h"

#include <chrono>
#include <utility>

namespace parlon {

namespace {

// Carries one registration's outcome to the inbox when it is destroyed: after the exchange, or
// unrun when the pool drops the job, which then counts as a failed registration. So the session
// always learns how a registration ended.
class RegistrationTicket {
  public:
    explicit RegistrationTicket(std::shared_ptr<PooledCenterLink::Inbox> inbox)
        : m_inbox(std::move(inbox)) {}
    ~RegistrationTicket() {
        std::lock_guard lock(m_inbox->mutex);
        m_inbox->outcome = std::move(outcome);
    }
    RegistrationTicket(const RegistrationTicket&) = delete;
    RegistrationTicket& operator=(const RegistrationTicket&) = delete;

    RegistrationOutcome outcome;

  private:
    std::shared_ptr<PooledCenterLink::Inbox> m_inbox;
};

}  // namespace

PooledCenterLink::PooledCenterLink(const ParlonEntry& ownEntry, const PeerAddress& center,
                                   std::shared_ptr<ExchangePool> pool, TransportDeadlines deadlines)
    : m_pool(std::move(pool)),
      m_sourceIp(ownEntry.ip),
      m_connection(std::make_shared<CenterConnection>(ownEntry, center, deadlines)),
      m_inbox(std::make_shared<Inbox>()) {}

PooledCenterLink::~PooledCenterLink() {
    // The connection's destructor is the sign-off; it runs on the pool once this job and every
    // registration job have let go of it.
    m_pool->SubmitFirst([connection = std::move(m_connection)]() mutable { connection.reset(); });
}

void PooledCenterLink::StartRegistration() {
    {
        std::lock_guard lock(m_inbox->mutex);
        m_inbox->outcome.reset();
    }
    m_pool->Submit(
        [connection = m_connection, ticket = std::make_shared<RegistrationTicket>(m_inbox)] {
            RegistrationOutcome& outcome = ticket->outcome;
            // A failed registration leaves the list as it was: empty.
            outcome.accepted = connection->Register(outcome.parlons, outcome.schedule);
        });
}

std::optional<RegistrationOutcome> PooledCenterLink::TakeRegistration() {
    std::lock_guard lock(m_inbox->mutex);
    return std::exchange(m_inbox->outcome, std::nullopt);
}

void PooledCenterLink::Send(const PeerAddress& destination, const ByteBuffer& packet) {
    m_pool->Submit([destination, packet, deadlines = m_connection->Deadlines(),
                    sourceIp = m_sourceIp, handedOver = std::chrono::steady_clock::now()] {
        SendPacket(destination, packet, deadlines, sourceIp, handedOver);
    });
}

std::chrono::milliseconds PooledCenterLink::DeliveryDeadline() const {
    return m_connection->Deadlines().peerExchange;
}

}  // namespace parlon
