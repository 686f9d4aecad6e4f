// EncryptionContext: this parlon's RSA key pair, its route table, and the layered message
// operations (wrap a message for a random relay path, open one layer, wrap and unmask replies).
//
// Owned by the session, one per Connect. The list of parlons in use is NOT owned: the context
// keeps a reference to `parlons`, which must stay live while this context is in use; so must
// the list given to SetReceivedParlons.
//
// What a node believes of a packet: a layer is opened at most once (OpenedLayers); its previous
// hop must be the address the packet came from, and both its hops must be parlons of a list;
// a reply counts only from the address it names, and the answer to a message goes through the
// record that message made (ReplyHandle). Route records live as long as their reply can come
// (SetRouteLifetime), and no previous hop holds more than kRouteQuotaPerSource of them.
//
// THREAD SAFETY: not thread-safe; one thread (the session's) calls every operation. Unwrap may
// use worker threads internally for the blocks of one layer; that is invisible to the caller.
//
// Every operation on input from outside (a received packet, a list from the center, an id)
// drops what it cannot use: it returns nullopt and changes nothing. No exception leaves it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/byte_buffer.h"
#include "common/text_field.h"
#include "common/wire_records.h"
#include "crypto/message_format.h"
#include "crypto/reply_handle.h"

namespace CryptoPP {
class RandomNumberGenerator;
}

namespace parlon {

class KeyPair;

class EncryptionContext {
  public:
    // Hop counts above this are treated as this.
    static constexpr uint32_t kMaxHopCount = message_format::kMaxHopCount;
    // Route records held at most, and at most per previous hop (this parlon's own messages
    // count as one previous hop).
    static constexpr size_t kMaxRouteRecords = 4096;
    static constexpr size_t kRouteQuotaPerSource = kMaxRouteRecords / 16;
    // How long a route record lives until SetRouteLifetime says otherwise.
    static constexpr std::chrono::milliseconds kDefaultRouteLifetime{std::chrono::minutes(5)};

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

    // How long the reply to a message may take to come back through this parlon from the
    // moment the message passed: records made from now on expire after `lifetime`.
    void SetRouteLifetime(std::chrono::milliseconds lifetime);

    // Next hops and previous hops may also be entries of `received` (the list received from
    // the center, not yet in use). Not owned: must stay live at the same address.
    void SetReceivedParlons(const std::vector<ParlonEntry>& received);

    // The public key text: Base64 of the X.509 SubjectPublicKeyInfo, 72-character lines each
    // ending in a line feed (398 characters for a 2048-bit key). An independent copy.
    std::string GetPublicKey() const;

    // Wraps `text` for the parlon at `destIndex` of the list in use, through HopCount() - 1
    // random relays. Returns the "F" packet and sets `firstHop`; nullopt when the own entry is
    // not in the list, `destIndex` is out of range, the hop count is 0, an entry on the path
    // has an address that is not complete (see PeerAddress::IsComplete) or a key text that is
    // not a 2048-bit RSA public key, or the route table refuses the record.
    [[nodiscard]] std::optional<ByteBuffer> WrapMessage(const TextField& text, uint32_t destIndex,
                                                        PeerAddress& firstHop);

    // Opens one packet that arrived from `source` (only its IPv4 address counts). nullopt:
    // dropped (malformed, not ours, opened before, unmatched, not from the parlon it names,
    // through an address that is not a parlon, or no room in the route table). Otherwise, in
    // this order: `nextHop` not none -> pass the result on to `nextHop`; else `message` names a
    // record -> a message for us (the 112-byte text field), answer with WrapReply(message);
    // else -> a reply to our message (224 bytes: our text field, then the unmasked reply field).
    // An "F" packet is opened only when its length is that of a packet of at most HopCount()
    // layers (at least one).
    [[nodiscard]] std::optional<ByteBuffer> Unwrap(const ByteBuffer& packet,
                                                   const PeerAddress& source, PeerAddress& nextHop,
                                                   ReplyHandle& message);

    // Builds the 123-byte "R" packet answering `message` and sets `previousHop`; nullopt when
    // its record is gone (answered, expired, another key pair) or the previous hop is no
    // longer a parlon of the lists.
    [[nodiscard]] std::optional<ByteBuffer> WrapReply(const TextField& text,
                                                      const ReplyHandle& message,
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
