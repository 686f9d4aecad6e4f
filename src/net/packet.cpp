#include "net/packet.h"

#include <cstring>

namespace parlon {

namespace {

void PutFrameHeader(uint8_t* out, int32_t type) {
    std::memcpy(out, &kFrameMagic, kFrameMagicSize);
    out[kFrameTypeOffset] = static_cast<uint8_t>(type & 0xFF);
}

void PutCenterReplyHead(uint8_t* out, const CenterSchedule& schedule, uint32_t count,
                        uint8_t type) {
    PutFrameHeader(out, type);
    std::memcpy(out + kReplyScheduleOffset, &schedule, kCenterScheduleSize);
    std::memcpy(out + kReplyCountOffset, &count, sizeof count);
}

}  // namespace

Packet::Packet(PacketType type, const RegistrationRecord& record) : m_type(type) {
    switch (type) {
        case Registration:
            m_buffer = ByteBuffer(&record.ownEntry, kParlonEntrySize);
            break;
        case SignOff:
            m_buffer = ByteBuffer(&record.ownEntry, kPeerAddressSize);
            break;
    }
}

Packet::Packet(ByteBuffer bytes, int32_t type) : m_type(type), m_buffer(std::move(bytes)) {}

ByteBuffer Packet::Encode() {
    ByteBuffer frame(static_cast<uint32_t>(kFrameHeaderSize + m_buffer.Length()));
    uint8_t* out = frame.MutableData();
    PutFrameHeader(out, m_type);
    if (m_buffer.Length() > 0) {
        std::memcpy(out + kFrameHeaderSize, m_buffer.Data(), m_buffer.Length());
    }
    m_buffer = frame;
    return frame;
}

std::optional<ByteBuffer> Packet::Decode() {
    if (m_buffer.Length() < kFrameHeaderSize) {
        return std::nullopt;
    }
    m_type = m_buffer.Data()[kFrameTypeOffset];
    m_buffer = ByteBuffer(m_buffer.Data() + kFrameHeaderSize,
                          static_cast<uint32_t>(m_buffer.Length() - kFrameHeaderSize));
    return m_buffer;
}

bool Packet::ReadCenterReply(std::vector<ParlonEntry>& parlons, CenterSchedule& schedule) const {
    const size_t length = m_buffer.Length();
    if (length < kReplyEntriesOffset) {
        return false;
    }
    const uint8_t* bytes = m_buffer.Data();
    uint32_t count = 0;
    std::memcpy(&count, bytes + kReplyCountOffset, sizeof count);
    if (count > kMaxReplyEntries ||
        length < kReplyEntriesOffset + size_t{count} * kParlonEntrySize) {
        return false;
    }
    std::memcpy(&schedule, bytes + kReplyScheduleOffset, kCenterScheduleSize);
    parlons.resize(count);
    if (count > 0) {
        std::memcpy(parlons.data(), bytes + kReplyEntriesOffset, size_t{count} * kParlonEntrySize);
    }
    return true;
}

ByteBuffer EncodeCenterReply(const CenterSchedule& schedule,
                             const std::vector<ParlonEntry>& parlons, uint8_t type) {
    const size_t entriesSize = parlons.size() * kParlonEntrySize;
    ByteBuffer frame(static_cast<uint32_t>(kReplyEntriesOffset + entriesSize));
    PutCenterReplyHead(frame.MutableData(), schedule, static_cast<uint32_t>(parlons.size()), type);
    if (!parlons.empty()) {
        std::memcpy(frame.MutableData() + kReplyEntriesOffset, parlons.data(), entriesSize);
    }
    return frame;
}

ByteBuffer EncodeCenterReplyHead(const CenterSchedule& schedule, uint32_t count, uint8_t type) {
    ByteBuffer head(static_cast<uint32_t>(kReplyEntriesOffset));
    PutCenterReplyHead(head.MutableData(), schedule, count, type);
    return head;
}

}  // namespace parlon
