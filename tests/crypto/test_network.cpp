#include "test_network.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cassert>

namespace parlon::test {

TextField Text(std::string_view text) {
    return MakeTextField({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

TestNetwork& TestNetwork::Get() {
    static TestNetwork network;
    return network;
}

TestNetwork::TestNetwork() {
    for (size_t index = 0; index < kNetworkSize; ++index) {
        ParlonEntry entry;
        entry.ip = ParseIpv4("127.0.0.1");
        entry.port = static_cast<uint16_t>(7001 + index);
        entry.SetNickname("parlon" + std::to_string(index));
        m_contexts[index] = std::make_unique<EncryptionContext>(entry.Address(), &m_list);
        entry.SetPublicKey(m_contexts[index]->GetPublicKey());
        m_list.push_back(entry);
    }
}

size_t TestNetwork::IndexOf(const PeerAddress& address) const {
    auto found = std::find_if(m_list.begin(), m_list.end(),
                              [&](const ParlonEntry& entry) { return entry.Address() == address; });
    assert(found != m_list.end());
    return static_cast<size_t>(found - m_list.begin());
}

std::array<size_t, kNetworkSize> TestNetwork::RouteCounts() const {
    std::array<size_t, kNetworkSize> counts{};
    for (size_t index = 0; index < kNetworkSize; ++index) {
        counts[index] = m_contexts[index]->RouteCount();
    }
    return counts;
}

std::optional<Delivery> CarryMessage(ByteBuffer packet, PeerAddress firstHop) {
    TestNetwork& network = TestNetwork::Get();
    Delivery delivery;
    PeerAddress to = firstHop;
    for (uint32_t step = 0; step <= EncryptionContext::kMaxHopCount; ++step) {
        const size_t hop = network.IndexOf(to);
        delivery.hops.push_back(hop);
        delivery.packetSizes.push_back(packet.Length());
        delivery.linkIds.push_back(
            message_format::LoadMessageId(packet.Data() + message_format::kForwardIdOffset));
        PeerAddress nextHop;
        uint32_t messageId = 0;
        std::optional<ByteBuffer> result = network.Context(hop).Unwrap(packet, nextHop, messageId);
        if (!result) {
            return std::nullopt;
        }
        if (nextHop.IsNone()) {
            delivery.addressee = hop;
            delivery.messageId = messageId;
            delivery.text = *result;
            return delivery;
        }
        packet = *result;
        to = nextHop;
    }
    ADD_FAILURE() << "the message went round in circles";
    return std::nullopt;
}

std::optional<ByteBuffer> CarryReply(const Delivery& delivery, const TextField& reply) {
    TestNetwork& network = TestNetwork::Get();
    PeerAddress to;
    std::optional<ByteBuffer> packet =
        network.Context(delivery.addressee).WrapReply(reply, delivery.messageId, to);
    for (uint32_t step = 0; packet && step <= EncryptionContext::kMaxHopCount; ++step) {
        PeerAddress nextHop;
        uint32_t messageId = 0;
        std::optional<ByteBuffer> result =
            network.Context(network.IndexOf(to)).Unwrap(*packet, nextHop, messageId);
        if (!result || nextHop.IsNone()) {
            return result;
        }
        packet = result;
        to = nextHop;
    }
    return std::nullopt;
}

}  // namespace parlon::test
