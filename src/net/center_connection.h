// CenterConnection: the transport of one parlon: registration and sign-off at the center, and
// sending packets to other parlons. Every exchange opens its own TCP connection, bounded by a
// deadline, and closes it at the end.
//
// Keeps its own copy of the own entry and the center's address, taken at construction.
// The destructor signs the parlon off at the center; a failing sign-off stays silent.
//
// THREAD SAFETY: one thread uses an object; its calls block that thread up to their deadline.
#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "net/center_link.h"
#include "net/registration_record.h"

namespace parlon {

// `connect` also bounds a whole sign-off, which is one small write.
struct TransportDeadlines {
    std::chrono::milliseconds connect{5000};        // establishing any connection
    std::chrono::milliseconds peerExchange{10000};  // a whole Send
    std::chrono::milliseconds registration{30000};  // a whole Register
};

class CenterConnection final : public CenterLink {
  public:
    CenterConnection(const ParlonEntry& ownEntry, const PeerAddress& center,
                     TransportDeadlines deadlines = {});
    ~CenterConnection() override;
    CenterConnection(const CenterConnection&) = delete;
    CenterConnection& operator=(const CenterConnection&) = delete;

    [[nodiscard]] bool Register(std::vector<ParlonEntry>& parlons,
                                CenterSchedule& schedule) override;
    bool Send(const PeerAddress& destination, const ByteBuffer& packet) override;

  private:
    std::unique_ptr<RegistrationRecord> m_pRecord;
    TransportDeadlines m_deadlines;
};

}  // namespace parlon
