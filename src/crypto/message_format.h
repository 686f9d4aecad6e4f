// The bytes of layered messages: the plaintext of one layer, its encrypted form, and the "F"
// and "R" packets that carry them between parlons. Every offset and size lives here.
//
// Layer plaintext (what one parlon reads when it opens its layer):
//   0    previous hop: ip[4] (network order) | port[2] (LE)
//   6    next hop:     ip[4] | port[2]          (0.0.0.0:0 in the addressee's layer)
//   12   reply mask[112]
//   124  the addressee's layer: the text field[112] (236 bytes in all)
//        a relay's layer:       the next parlon's encrypted layer (a multiple of 256 bytes)
//
// Encrypted layer: the plaintext cut into 213-byte chunks (the last holds the rest, 1..213),
// each encrypted with RSAES-OAEP (SHA-1, MGF1) under a 2048-bit key into one 256-byte block,
// the blocks in chunk order.
//
// "F" packet (a message on its way out):  'F' | id[4] (LE) | encrypted layer (>= 2 blocks)
// "R" packet (a reply on its way back):   'R' | sender ip[4] | sender port[2] | id[4] (LE)
//                                         | masked reply text[112]                  = 123 bytes
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/text_field.h"
#include "common/wire_records.h"
#include "net/wire_format.h"

namespace parlon::message_format {

// Message ids: one per link of a path, drawn uniformly; 0 never names a message.
inline constexpr uint32_t kMinMessageId = 1;
inline constexpr uint32_t kMaxMessageId = 32000;
inline constexpr size_t kMessageIdSize = sizeof(uint32_t);

// RSA blocks.
inline constexpr unsigned kModulusBits = 2048;
inline constexpr unsigned kPublicExponent = 17;
inline constexpr size_t kBlockSize = kModulusBits / 8;
// The most that OAEP with SHA-1 (20-byte digests) carries in one block of a 2048-bit key.
inline constexpr size_t kMaxBlockPlaintext = kBlockSize - 2 * 20 - 2;
// Layers are cut one byte under that.
inline constexpr size_t kChunkSize = 213;
static_assert(kMaxBlockPlaintext == 214 && kChunkSize == kMaxBlockPlaintext - 1);

// Layer plaintext.
inline constexpr size_t kMaskSize = kTextFieldSize;
inline constexpr size_t kLayerPreviousHopOffset = 0;
inline constexpr size_t kLayerNextHopOffset = kLayerPreviousHopOffset + kPeerAddressSize;
inline constexpr size_t kLayerMaskOffset = kLayerNextHopOffset + kPeerAddressSize;
inline constexpr size_t kLayerHeaderSize = kLayerMaskOffset + kMaskSize;
inline constexpr size_t kLayerBodyOffset = kLayerHeaderSize;
inline constexpr size_t kAddresseeLayerSize = kLayerHeaderSize + kTextFieldSize;
static_assert(kLayerNextHopOffset == 6 && kLayerMaskOffset == 12);
static_assert(kLayerHeaderSize == 124 && kAddresseeLayerSize == 236);

// "F" packet.
inline constexpr uint8_t kForwardTag = 'F';
inline constexpr size_t kTagOffset = 0;
inline constexpr size_t kForwardIdOffset = 1;
inline constexpr size_t kForwardLayerOffset = kForwardIdOffset + kMessageIdSize;
// Every layer holds at least the addressee's 236 bytes, so at least two blocks.
inline constexpr size_t kMinLayerBlocks = 2;
static_assert(kForwardLayerOffset == 5);

// "R" packet.
inline constexpr uint8_t kReplyTag = 'R';
inline constexpr size_t kReplySenderOffset = 1;
inline constexpr size_t kReplyIdOffset = kReplySenderOffset + kPeerAddressSize;
inline constexpr size_t kReplyTextOffset = kReplyIdOffset + kMessageIdSize;
inline constexpr size_t kReplyPacketSize = kReplyTextOffset + kTextFieldSize;
static_assert(kReplyIdOffset == 7 && kReplyTextOffset == 11 && kReplyPacketSize == 123);

// What the sender gets when its reply has come back: its own text field, then the reply's.
inline constexpr size_t kReplyResultSize = 2 * kTextFieldSize;
static_assert(kReplyResultSize == 224);

// Hop counts above this are treated as this: each layer adds about a fifth to the packet.
inline constexpr uint32_t kMaxHopCount = 16;

// Size of the encrypted form of `plaintextSize` bytes.
constexpr size_t EncryptedSize(size_t plaintextSize) {
    return (plaintextSize + kChunkSize - 1) / kChunkSize * kBlockSize;
}

// Size of the plaintext of the layer `depth` layers out from the addressee's (depth 0).
constexpr size_t LayerPlaintextSize(uint32_t depth) {
    size_t plaintext = kAddresseeLayerSize;
    for (uint32_t layer = 0; layer < depth; ++layer) {
        plaintext = kLayerHeaderSize + EncryptedSize(plaintext);
    }
    return plaintext;
}

// Size of the "F" packet that leaves the sender of a message wrapped in `hopCount` layers.
constexpr size_t ForwardPacketSize(uint32_t hopCount) {
    return kForwardLayerOffset + EncryptedSize(LayerPlaintextSize(hopCount - 1));
}

// Number of RSA encryptions that wrapping a message in `hopCount` layers takes.
constexpr size_t ChunksToWrap(uint32_t hopCount) {
    size_t chunks = 0;
    for (uint32_t depth = 0; depth < hopCount; ++depth) {
        chunks += EncryptedSize(LayerPlaintextSize(depth)) / kBlockSize;
    }
    return chunks;
}

static_assert(ForwardPacketSize(1) == 517 && ForwardPacketSize(2) == 773);
static_assert(ForwardPacketSize(3) == 1285 && ForwardPacketSize(4) == 1797);
static_assert(ForwardPacketSize(5) == 2309 && ForwardPacketSize(6) == 3077);
static_assert(ForwardPacketSize(7) == 4101 && ForwardPacketSize(8) == 5125);

// Anything longer cannot be a packet that a parlon built: it is dropped before decryption.
inline constexpr size_t kMaxForwardPacketSize = ForwardPacketSize(kMaxHopCount);
static_assert(kMaxForwardPacketSize == 26629);
// A peer frame carries one packet: the longest "F" packet bounds it.
static_assert(kFrameHeaderSize + kMaxForwardPacketSize == kMaxPeerFrameSize);

// Little-endian and address fields (the host is little-endian; see wire_records.h).
inline uint32_t LoadMessageId(const uint8_t* bytes) noexcept {
    uint32_t id = 0;
    std::memcpy(&id, bytes, sizeof id);
    return id;
}

inline void StoreMessageId(uint8_t* bytes, uint32_t id) noexcept {
    std::memcpy(bytes, &id, sizeof id);
}

inline PeerAddress LoadAddress(const uint8_t* bytes) noexcept {
    PeerAddress address;
    std::memcpy(&address, bytes, kPeerAddressSize);
    return address;
}

inline void StoreAddress(uint8_t* bytes, const PeerAddress& address) noexcept {
    std::memcpy(bytes, &address, kPeerAddressSize);
}

}  // namespace parlon::message_format
