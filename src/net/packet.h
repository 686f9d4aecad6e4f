// Packet: one frame on its way to or from the wire (framing and unframing only).
//
// A Packet is a value; it shares its ByteBuffer with whoever else holds it. Not thread-safe,
// but distinct Packets may be used on distinct threads.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/byte_buffer.h"
#include "common/wire_records.h"
#include "net/registration_record.h"
#include "net/wire_format.h"

namespace parlon {

class Packet {
  public:
    // An outgoing Registration (the record's entry) or SignOff (the entry's address) payload;
    // any other type gets an empty payload.
    Packet(PacketType type, const RegistrationRecord& record);
    // Bytes as they are: a received frame, or a payload to be framed.
    explicit Packet(ByteBuffer bytes, int32_t type = 0);

    // Frames the payload: magic, the type's low byte, payload. The packet now holds the frame,
    // which is also returned.
    ByteBuffer Encode();

    // Unframes a received frame: the type from byte 4, the payload from byte 5 on (magic and
    // type are not checked). The packet then holds the payload, which is also returned.
    // A frame shorter than the 5-byte header is not valid: nullopt, and nothing changes.
    [[nodiscard]] std::optional<ByteBuffer> Decode();

    // Reads a center reply into `parlons` and `schedule`. Returns false, touching neither, when
    // the reply is shorter than its header, shorter than its count of entries says, or counts
    // more entries than a reply may hold. Bytes after the last counted entry are ignored.
    [[nodiscard]] bool ReadCenterReply(std::vector<ParlonEntry>& parlons,
                                       CenterSchedule& schedule) const;

    int32_t Type() const noexcept { return m_type; }
    const ByteBuffer& Buffer() const noexcept { return m_buffer; }

  private:
    int32_t m_type;
    ByteBuffer m_buffer;
};

// A whole center reply frame (what a center sends back for a Registration).
ByteBuffer EncodeCenterReply(const CenterSchedule& schedule,
                             const std::vector<ParlonEntry>& parlons, uint8_t type = Registration);

// The head of a center reply for `count` entries (magic, type, schedule, count): followed by
// those entries' bytes, the whole frame. For a sender that keeps the entries' bytes apart.
ByteBuffer EncodeCenterReplyHead(const CenterSchedule& schedule, uint32_t count,
                                 uint8_t type = Registration);

}  // namespace parlon
