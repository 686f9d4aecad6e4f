// EncryptionContext: this parlon's RSA key pair, its route table, and the layered message
// operations (wrap a message for a random relay path, open one layer, wrap and unmask replies).
//
// Owned by the session, one per Connect. The list of parlons in use is NOT owned: the context
// keeps a reference to `parlons`, which must stay live while this context is in use.
//
// THREAD SAFETY: not thread-safe; one thread (the session's) calls every operation. Unwrap may
// use worker threads internally for the blocks of one layer; that is invisible to the caller.
//
// Every operation on input from outside (a received packet, a list from the center, an id)
// drops what it cannot use: it returns nullopt and changes nothing. No exception leaves it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/byte_buffer.h"
#include "common/text_field.h"
#include "common/wire_records.h"
#include "crypto/message_format.h"

namespace CryptoPP {
class RandomNumberGenerator;
}

namespace parlon {

class KeyPair;

class EncryptionContext {
  public:
    // Hop counts above this are treated as this.
    static constexpr uint32_t kMaxHopCount = message_format::kMaxHopCount;
    // Unanswered route records kept at most; the oldest goes first.
    static constexpr size_t kMaxRouteRecords = 4096;

    // Generates a fresh 2048-bit RSA key pair (exponent 17). Slow (key generation).
    EncryptionContext(const PeerAddress& ownAddress, const std::vector<ParlonEntry>& parlons);
    // A context on a copy of `keys`, drawing relays, masks, ids and the padding of encryption
    // from `rng`. With a seeded generator every run draws the same: for tests and fuzz targets
    // only, since a parlon's draws must not be guessable.
    EncryptionContext(const PeerAddress& ownAddress, const std::vector<ParlonEntry>& parlons,
                      const KeyPair& keys, std::unique_ptr<CryptoPP::RandomNumberGenerator> rng);
    // The list must outlive the context: a temporary one would not.
    EncryptionContext(const PeerAddress&, std::vector<ParlonEntry>&&) = delete;
    EncryptionContext(const PeerAddress&, std::vector<ParlonEntry>&&, const KeyPair&,
                      std::unique_ptr<CryptoPP::RandomNumberGenerator>) = delete;
    ~EncryptionContext();
    EncryptionContext(const EncryptionContext&) = delete;
    EncryptionContext& operator=(const EncryptionContext&) = delete;

    // The number of layers of the messages this parlon writes: 1 until set, values above
    // kMaxHopCount are taken as kMaxHopCount, and 0 makes WrapMessage drop every message.
    void SetHopCount(uint32_t hopCount);
    uint32_t HopCount() const noexcept;

    // The public key text: Base64 of the X.509 SubjectPublicKeyInfo, 72-character lines each
    // ending in a line feed (398 characters for a 2048-bit key). An independent copy.
    std::string GetPublicKey() const;

    // Wraps `text` for the parlon at `destIndex` of the list in use, through HopCount() - 1
    // random relays. Returns the "F" packet and sets `firstHop`; nullopt when the own entry is
    // not in the list, `destIndex` is out of range, the hop count is 0, or an entry on the path
    // has address 0.0.0.0:0 or a key text that is not a 2048-bit RSA public key.
    [[nodiscard]] std::optional<ByteBuffer> WrapMessage(const TextField& text, uint32_t destIndex,
                                                        PeerAddress& firstHop);

    // Opens one received packet. nullopt: dropped (malformed, not ours, unmatched). Otherwise,
    // in this order: `nextHop` not none -> pass the result on to `nextHop`; else `messageId`
    // not 0 -> a message for us (the 112-byte text field), answer with WrapReply(messageId);
    // else -> a reply to our message (224 bytes: our text field, then the unmasked reply field).
    [[nodiscard]] std::optional<ByteBuffer> Unwrap(const ByteBuffer& packet, PeerAddress& nextHop,
                                                   uint32_t& messageId);

    // Builds the 123-byte "R" packet answering message `messageId` and sets `previousHop`;
    // nullopt when no route record has that id.
    [[nodiscard]] std::optional<ByteBuffer> WrapReply(const TextField& text, uint32_t messageId,
                                                      PeerAddress& previousHop);

    // Number of route records held (for tests and diagnostics).
    size_t RouteCount() const noexcept;

    // The key pair, private key text included (for tests of the key format).
    const KeyPair& GetKeyPair() const noexcept;

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace parlon
