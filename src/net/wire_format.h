// Frames between a parlon and the center or another parlon.
//
// Frame (no length field: the receiver reads until the sender closes):
//   offset 0  magic 0xAAEF01AA (LE: AA 01 EF AA)
//   offset 4  type byte (low 8 bits of the PacketType)
//   offset 5  payload, to the end of the frame
//
// Registration (type 51): payload = the sender's ParlonEntry        -> 422 bytes
// SignOff (type 255):     payload = the sender's PeerAddress        -> 11 bytes
//
// Center reply (on a Registration's connection):
//   offset 0  magic | 4 type | 5 CenterSchedule (24) | 29 count (uint32 LE) | 33 entries (417 each)
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/wire_records.h"

namespace parlon {

enum PacketType : int32_t {
    Registration = 51,
    SignOff = 255,
};

inline constexpr uint32_t kFrameMagic = 0xAAEF01AA;
inline constexpr size_t kFrameMagicSize = 4;
inline constexpr size_t kFrameTypeOffset = 4;
inline constexpr size_t kFrameHeaderSize = 5;

inline constexpr size_t kRegistrationFrameSize = kFrameHeaderSize + kParlonEntrySize;
inline constexpr size_t kSignOffFrameSize = kFrameHeaderSize + kPeerAddressSize;
static_assert(kRegistrationFrameSize == 422);
static_assert(kSignOffFrameSize == 11);

inline constexpr size_t kReplyScheduleOffset = kFrameHeaderSize;
inline constexpr size_t kReplyCountOffset = kReplyScheduleOffset + kCenterScheduleSize;
inline constexpr size_t kReplyEntriesOffset = kReplyCountOffset + sizeof(uint32_t);
static_assert(kReplyCountOffset == 29);
static_assert(kReplyEntriesOffset == 33);

// Bounds on what a reader accepts. A center reply or peer frame above them is refused. A peer
// frame holds one "F" or "R" packet: the longest is an "F" packet of 16 layers, 26,629 bytes
// (crypto/message_format.h checks that the two agree). The longest list a parlon takes from a
// center (a center may be set to list at most this many), and the reply that carries it:
// 33 + 16384 x 417 = 6,832,161 bytes.
inline constexpr size_t kMaxReplyEntries = 16384;
inline constexpr size_t kMaxCenterReplySize =
    kReplyEntriesOffset + kMaxReplyEntries * kParlonEntrySize;
static_assert(kMaxCenterReplySize == 6832161);
inline constexpr size_t kMaxPeerFrameSize = 26634;

}  // namespace parlon
