// The random choices of the message scheme, drawn from a cryptographic generator: a seed that
// others can guess (such as the time) would give away every relay, mask and id a parlon draws.
#pragma once

#include <cryptopp/cryptlib.h>

#include <cassert>
#include <cstdint>
#include <span>

#include "crypto/message_format.h"

namespace parlon {

// A relay: an index of a list of `count` entries, uniform in 0..count-1. REQUIRES: count > 0.
inline uint32_t DrawRelayIndex(CryptoPP::RandomNumberGenerator& rng, uint32_t count) {
    assert(count > 0);
    return rng.GenerateWord32(0, count - 1);
}

// Reply masks: every byte uniform in 0..255.
inline void DrawMaskBytes(CryptoPP::RandomNumberGenerator& rng, std::span<uint8_t> masks) {
    rng.GenerateBlock(masks.data(), masks.size());
}

// The id of one link of a path, uniform in 1..32000.
inline uint32_t DrawMessageId(CryptoPP::RandomNumberGenerator& rng) {
    return rng.GenerateWord32(message_format::kMinMessageId, message_format::kMaxMessageId);
}

}  // namespace parlon
