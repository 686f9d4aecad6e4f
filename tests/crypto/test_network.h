// An in-memory network of parlons for the crypto tests: five contexts sharing one list, built
// once per test program because key generation is slow, and the couriers that carry a
// message out and its reply back by calling Unwrap at every hop, as the transport would.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "common/byte_buffer.h"
#include "common/text_field.h"
#include "common/wire_records.h"
#include "crypto/encryption_context.h"
#include "crypto/message_format.h"

namespace parlon::test {

inline constexpr size_t kNetworkSize = 5;

TextField Text(std::string_view text);

class TestNetwork {
public:
    // The network, made on first use.
    static TestNetwork& Get();

    EncryptionContext& Context(size_t index) { return *m_contexts[index]; }
    PeerAddress Address(size_t index) const { return m_list[index].Address(); }
    // The list in use by every context; tests that change it restore it.
    std::vector<ParlonEntry>& List() { return m_list; }
    // The index of the parlon at `address`. REQUIRES: there is one.
    size_t IndexOf(const PeerAddress& address) const;
    // Route records held by each parlon.
    std::array<size_t, kNetworkSize> RouteCounts() const;

private:
    TestNetwork();

    std::vector<ParlonEntry> m_list;
    std::array<std::unique_ptr<EncryptionContext>, kNetworkSize> m_contexts;
};

// A message carried from hop to hop until a parlon took it as its own.
struct Delivery {
    std::vector<size_t> hops;           // indices of the parlons it reached, in order
    std::vector<uint32_t> packetSizes;  // sizes of the "F" packets that reached them
    std::vector<uint32_t> linkIds;      // the ids that those packets carried
    size_t addressee = 0;
    uint32_t messageId = 0;  // as the addressee's Unwrap reported it
    ByteBuffer text;         // as the addressee's Unwrap reported it
};

// Carries `packet` from `firstHop` on; nullopt when some hop dropped it.
std::optional<Delivery> CarryMessage(ByteBuffer packet, PeerAddress firstHop);

// The addressee of `delivery` answers with `reply`, and the reply is carried back; returns
// what the first parlon that does not pass it on reported, nullopt when some hop dropped it.
std::optional<ByteBuffer> CarryReply(const Delivery& delivery, const TextField& reply);

}  // namespace parlon::test
