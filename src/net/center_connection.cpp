#include "net/center_connection.h"

#include <algorithm>

#include "net/com_exception.h"
#include "net/packet.h"
#include "net/socket_stream.h"
#include "net/wire_format.h"

namespace parlon {

namespace {

using Clock = SocketStream::Clock;

// Connecting gets its own deadline, but never outlives the deadline of the whole exchange.
Clock::time_point ConnectDeadline(const TransportDeadlines& deadlines,
                                  Clock::time_point exchangeDeadline) {
    return std::min(Clock::now() + deadlines.connect, exchangeDeadline);
}

// One connection that carries `frame` and ends; nothing is read back. It leaves from
// `sourceIp` when that is this machine's (0: from where the system picks).
void SendFrame(const PeerAddress& destination, const ByteBuffer& frame,
               const TransportDeadlines& deadlines, Clock::time_point deadline,
               uint32_t sourceIp = 0) {
    SocketStream stream(destination, ConnectDeadline(deadlines, deadline), sourceIp);
    stream.WriteAll(frame.Bytes(), deadline);
    stream.Finish();
}

}  // namespace

CenterConnection::CenterConnection(const ParlonEntry& ownEntry, const PeerAddress& center,
                                   TransportDeadlines deadlines)
    : m_pRecord(std::make_unique<RegistrationRecord>(RegistrationRecord{ownEntry, center})),
      m_deadlines(deadlines) {}

// The sign-off is one small write; it is bounded by the connect deadline as a whole, so that
// tearing down a parlon whose center is gone never blocks for long. Its failure is not news
// to anyone: the center drops the entry when it expires.
CenterConnection::~CenterConnection() {
    try {
        const ByteBuffer frame = Packet(SignOff, *m_pRecord).Encode();
        SendFrame(m_pRecord->center, frame, m_deadlines, Clock::now() + m_deadlines.connect);
    } catch (const ComException&) {
    }
}

bool CenterConnection::Register(std::vector<ParlonEntry>& parlons, CenterSchedule& schedule) {
    const Clock::time_point deadline = Clock::now() + m_deadlines.registration;
    try {
        SocketStream stream(m_pRecord->center, ConnectDeadline(m_deadlines, deadline));
        // The center recognises the request by its fixed length: our side stays open.
        stream.WriteAll(Packet(Registration, *m_pRecord).Encode().Bytes(), deadline);
        const Packet reply(stream.ReadToEnd(kMaxCenterReplySize, deadline));
        return reply.ReadCenterReply(parlons, schedule);
    } catch (const ComException&) {
        return false;
    }
}

bool CenterConnection::Send(const PeerAddress& destination, const ByteBuffer& packet) const {
    return SendPacket(destination, packet, m_deadlines, m_pRecord->ownEntry.ip);
}

bool SendPacket(const PeerAddress& destination, const ByteBuffer& packet,
                const TransportDeadlines& deadlines, uint32_t sourceIp,
                Clock::time_point handedOver) {
    const Clock::time_point deadline = handedOver + deadlines.peerExchange;
    if (Clock::now() >= deadline) {
        return false;
    }
    try {
        // From the address this parlon announced, which its peers check the packet against.
        SendFrame(destination, Packet(packet).Encode(), deadlines, deadline, sourceIp);
        return true;
    } catch (const ComException&) {
        return false;
    }
}

}  // namespace parlon
