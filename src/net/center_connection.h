// CenterConnection: the blocking exchanges of one parlon: registration and sign-off at the
// center, and sending packets to other parlons. Every exchange opens its own TCP connection,
// bounded by a deadline, and closes it at the end. The session reaches them through a
// PooledCenterLink, which runs them off its thread.
//
// Keeps its own copy of the own entry and the center's address, taken at construction.
// The destructor signs the parlon off at the center; a failing sign-off stays silent.
//
// THREAD SAFETY: Register and the destructor from one thread at a time; Send and SendPacket
// from any thread. Every call blocks its thread up to its deadline.
#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "common/byte_buffer.h"
#include "common/wire_records.h"
#include "net/registration_record.h"
#include "net/wire_format.h"

namespace parlon {

// `connect` also bounds a whole sign-off, which is one small write.
struct TransportDeadlines {
    std::chrono::milliseconds connect{5000};        // establishing any connection
    std::chrono::milliseconds peerExchange{10000};  // a whole Send
    std::chrono::milliseconds registration{30000};  // a whole Register
};

// Delivers one packet to `destination` in a frame of its own, from the local address
// `sourceIp` (network order) when it is one of this machine's: peers check the packet against
// the address it came from. True when the frame was written and the connection closed; false
// when that failed for any reason or `deadlines`, counted from `handedOver`, passed (so time
// spent waiting for a worker counts against them).
bool SendPacket(
    const PeerAddress& destination, const ByteBuffer& packet, const TransportDeadlines& deadlines,
    uint32_t sourceIp = 0,
    std::chrono::steady_clock::time_point handedOver = std::chrono::steady_clock::now());

class CenterConnection final {
  public:
    CenterConnection(const ParlonEntry& ownEntry, const PeerAddress& center,
                     TransportDeadlines deadlines = {});
    ~CenterConnection();
    CenterConnection(const CenterConnection&) = delete;
    CenterConnection& operator=(const CenterConnection&) = delete;

    // One registration exchange. True when the center's reply was read into both; false (both
    // untouched) when the center could not be reached, failed mid-exchange, timed out or sent
    // a reply that is not valid.
    [[nodiscard]] bool Register(std::vector<ParlonEntry>& parlons, CenterSchedule& schedule);
    // SendPacket with this connection's deadlines, from the own entry's address.
    bool Send(const PeerAddress& destination, const ByteBuffer& packet) const;

    const TransportDeadlines& Deadlines() const noexcept { return m_deadlines; }

  private:
    std::unique_ptr<RegistrationRecord> m_pRecord;
    TransportDeadlines m_deadlines;
};

}  // namespace parlon
