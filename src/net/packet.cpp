#include "net/packet.h"

#include <cstring>

namespace parlon {

namespace {

void PutFrameHeader(uint8_t* out, int32_t type) {
    std::memcpy(out, &kFrameMagic, kFrameMagicSize);
    out[kFrameTypeOffset] = static_cast<uint8_t>(type & 0xFF);
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
    if (count > kMaxReplyEntries || length < kReplyEntriesOffset + size_t{count} * kParlonEntrySize) {
        return false;
    }
    std::memcpy(&schedule, bytes + kReplyScheduleOffset, kCenterScheduleSize);
    parlons.resize(count);
    if (count > 0) {
        std::memcpy(parlons.data(), bytes + kReplyEntriesOffset, size_t{count} * kParlonEntrySize);
    }
    return true;
}

ByteBuffer EncodeCenterReply(const CenterSchedule& schedule, const std::vector<ParlonEntry>& parlons,
                             uint8_t type) {
    const size_t entriesSize = parlons.size() * kParlonEntrySize;
    ByteBuffer frame(static_cast<uint32_t>(kReplyEntriesOffset + entriesSize));
    uint8_t* out = frame.MutableData();
    PutFrameHeader(out, type);
    std::memcpy(out + kReplyScheduleOffset, &schedule, kCenterScheduleSize);
    const auto count = static_cast<uint32_t>(parlons.size());
    std::memcpy(out + kReplyCountOffset, &count, sizeof count);
    if (!parlons.empty()) {
        std::memcpy(out + kReplyEntriesOffset, parlons.data(), entriesSize);
    }
    return frame;
}

}  // namespace parlon
