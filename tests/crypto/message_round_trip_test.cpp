// Messages carried out through the in-memory network and replies carried back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "crypto/message_format.h"
#include "test_network.h"

namespace parlon::test {
namespace {

namespace mf = message_format;

// Size of the "F" packet that leaves the sender, by hop count.
constexpr uint32_t kPacketSizes[] = {0, 517, 773, 1285, 1797, 2309, 3077, 4101, 5125};

std::vector<uint8_t> BytesOf(const ByteBuffer& buffer) {
    return {buffer.Data(), buffer.Data() + buffer.Length()};
}

std::vector<uint8_t> Concatenated(const TextField& first, const TextField& second) {
    std::vector<uint8_t> bytes(first.begin(), first.end());
    bytes.insert(bytes.end(), second.begin(), second.end());
    return bytes;
}

class RoundTrip : public ::testing::Test {
protected:
    // Wraps `text` at `sender` for `addressee` with `hopCount` layers and carries it out.
    std::optional<Delivery> Send(size_t sender, size_t addressee, uint32_t hopCount,
                                 const TextField& text, PeerAddress* firstHop = nullptr) {
        network.Context(sender).SetHopCount(hopCount);
        PeerAddress hop;
        std::optional<ByteBuffer> packet =
            network.Context(sender).WrapMessage(text, static_cast<uint32_t>(addressee), hop);
        if (!packet) {
            ADD_FAILURE() << "WrapMessage dropped a well-formed message";
            return std::nullopt;
        }
        if (firstHop != nullptr) {
            *firstHop = hop;
        }
        return CarryMessage(*packet, hop);
    }

    TestNetwork& network = TestNetwork::Get();
    const std::array<size_t, kNetworkSize> routesBefore = network.RouteCounts();
};

class RoundTripByHopCount : public RoundTrip, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(RoundTripByHopCount, MessageReachesAddresseeAndReplyComesBackUnmasked) {
    const uint32_t hopCount = GetParam();
    const TextField message = Text("Meet me at the old mill at nine.");
    const TextField reply = Text("I will be there.");

    PeerAddress firstHop;
    const std::optional<Delivery> delivery = Send(0, 3, hopCount, message, &firstHop);
    ASSERT_TRUE(delivery.has_value());
    ASSERT_EQ(delivery->hops.size(), hopCount);
    EXPECT_EQ(delivery->addressee, 3u);
    EXPECT_EQ(BytesOf(delivery->text), std::vector<uint8_t>(message.begin(), message.end()));
    EXPECT_NE(delivery->messageId, 0u);
    EXPECT_EQ(delivery->messageId, delivery->linkIds.back());
    for (size_t hop = 0; hop < hopCount; ++hop) {
        EXPECT_EQ(delivery->packetSizes[hop], kPacketSizes[hopCount - hop]) << "hop " << hop;
    }
    if (hopCount == 1) {
        EXPECT_EQ(firstHop, network.Address(3));
    }

    const std::optional<ByteBuffer> result = CarryReply(*delivery, reply);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(BytesOf(*result), Concatenated(message, reply));
    EXPECT_EQ(network.RouteCounts(), routesBefore);
}

INSTANTIATE_TEST_SUITE_P(HopCounts, RoundTripByHopCount, ::testing::Values(1u, 2u, 3u, 8u));

TEST_F(RoundTrip, HopCountsAboveTheCapTravelAsTheCap) {
    for (const uint32_t hopCount : {EncryptionContext::kMaxHopCount, 1000u}) {
        const std::optional<Delivery> delivery = Send(1, 2, hopCount, Text("long way round"));
        ASSERT_TRUE(delivery.has_value());
        EXPECT_EQ(network.Context(1).HopCount(), EncryptionContext::kMaxHopCount);
        EXPECT_EQ(delivery->packetSizes.front(), 26629u);
        EXPECT_EQ(delivery->hops.size(), EncryptionContext::kMaxHopCount);
        EXPECT_TRUE(CarryReply(*delivery, Text("back")).has_value());
    }
    EXPECT_EQ(network.RouteCounts(), routesBefore);
}

TEST_F(RoundTrip, RelayThatOccursTwiceRoutesMessageAndReply) {
    const uint32_t hopCount = 4;  // three relays drawn from five parlons: repeats are common
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::optional<Delivery> delivery = Send(0, 4, hopCount, Text("twice through"));
        ASSERT_TRUE(delivery.has_value());
        std::vector<size_t> relays(delivery->hops.begin(), delivery->hops.end() - 1);
        std::sort(relays.begin(), relays.end());
        const auto repeated = std::adjacent_find(relays.begin(), relays.end());
        if (repeated != relays.end()) {
            const size_t relay = *repeated;
            const size_t visits =
                static_cast<size_t>(std::count(relays.begin(), relays.end(), relay));
            EXPECT_GE(network.RouteCounts()[relay], routesBefore[relay] + visits);
        }
        const std::optional<ByteBuffer> result = CarryReply(*delivery, Text("and back"));
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(BytesOf(*result), Concatenated(Text("twice through"), Text("and back")));
        EXPECT_EQ(network.RouteCounts(), routesBefore);
        if (repeated != relays.end()) {
            return;
        }
    }
    FAIL() << "no path with a repeated relay in 100 messages";
}

TEST_F(RoundTrip, EachReplyIsServedOnceAndTravelsMasked) {
    const TextField reply = Text("only once");
    network.Context(0).SetHopCount(2);
    // Draw until the relay is neither end, so that every step below is a different parlon.
    for (int attempt = 0; attempt < 100; ++attempt) {
        PeerAddress firstHop;
        std::optional<ByteBuffer> packet = network.Context(0).WrapMessage(Text("hi"), 2, firstHop);
        ASSERT_TRUE(packet.has_value());
        const std::optional<Delivery> delivery = CarryMessage(*packet, firstHop);
        ASSERT_TRUE(delivery.has_value());
        const size_t relay = delivery->hops.front();
        if (relay == 0 || relay == 2) {
            ASSERT_TRUE(CarryReply(*delivery, reply).has_value());
            continue;
        }

        PeerAddress toRelay;
        const std::optional<ByteBuffer> fromAddressee =
            network.Context(2).WrapReply(reply, delivery->messageId, toRelay);
        ASSERT_TRUE(fromAddressee.has_value());
        EXPECT_FALSE(network.Context(2).WrapReply(reply, delivery->messageId, toRelay).has_value());
        EXPECT_EQ(toRelay, network.Address(relay));
        const std::vector<uint8_t> wire = BytesOf(*fromAddressee);
        ASSERT_EQ(wire.size(), 123u);
        EXPECT_EQ(wire[0], 'R');
        EXPECT_EQ(mf::LoadAddress(wire.data() + 1), network.Address(2));
        EXPECT_EQ(mf::LoadMessageId(wire.data() + 7), delivery->messageId);
        EXPECT_FALSE(std::equal(reply.begin(), reply.end(), wire.begin() + 11));

        PeerAddress toSender;
        uint32_t messageId = 99;
        const std::optional<ByteBuffer> fromRelay =
            network.Context(relay).Unwrap(*fromAddressee, toSender, messageId);
        ASSERT_TRUE(fromRelay.has_value());
        EXPECT_EQ(toSender, network.Address(0));
        EXPECT_EQ(messageId, 0u);
        EXPECT_EQ(mf::LoadMessageId(fromRelay->Data() + 7), mf::LoadMessageId(packet->Data() + 1));
        EXPECT_FALSE(
            network.Context(relay).Unwrap(*fromAddressee, toSender, messageId).has_value());

        PeerAddress none;
        const std::optional<ByteBuffer> result =
            network.Context(0).Unwrap(*fromRelay, none, messageId);
        ASSERT_TRUE(result.has_value());
        EXPECT_TRUE(none.IsNone());
        EXPECT_EQ(messageId, 0u);
        EXPECT_EQ(BytesOf(*result), Concatenated(Text("hi"), reply));
        EXPECT_FALSE(network.Context(0).Unwrap(*fromRelay, none, messageId).has_value());
        EXPECT_EQ(network.RouteCounts(), routesBefore);
        return;
    }
    FAIL() << "every relay drawn was an end of the path";
}

// A parlon that relays one message and receives another, both with the same incoming id,
// answers its own message: the relay's record is not the addressee's.
TEST_F(RoundTrip, ReplyFindsTheAddresseeRecordNotARelayRecordWithTheSameId) {
    network.Context(0).SetHopCount(1);
    PeerAddress toAddressee;
    std::optional<ByteBuffer> own = network.Context(0).WrapMessage(Text("mine"), 2, toAddressee);
    ASSERT_TRUE(own.has_value());
    const uint32_t sharedId = mf::LoadMessageId(own->Data() + 1);

    network.Context(1).SetHopCount(2);
    for (int attempt = 0; attempt < 200; ++attempt) {
        PeerAddress firstHop;
        std::optional<ByteBuffer> relayed =
            network.Context(1).WrapMessage(Text("other"), 4, firstHop);
        ASSERT_TRUE(relayed.has_value());
        if (firstHop != network.Address(2)) {
            continue;
        }
        // The id travels in clear; the relay takes whatever it is given.
        ByteBuffer sameId(relayed->Bytes());
        mf::StoreMessageId(sameId.MutableData() + 1, sharedId);
        PeerAddress nextHop;
        uint32_t messageId = 0;
        ASSERT_TRUE(network.Context(2).Unwrap(sameId, nextHop, messageId).has_value());
        ASSERT_EQ(nextHop, network.Address(4));

        const std::optional<Delivery> delivery = CarryMessage(*own, toAddressee);
        ASSERT_TRUE(delivery.has_value());
        ASSERT_EQ(delivery->messageId, sharedId);
        const std::optional<ByteBuffer> result = CarryReply(*delivery, Text("yours"));
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(BytesOf(*result), Concatenated(Text("mine"), Text("yours")));
        return;
    }
    FAIL() << "parlon 2 was never drawn as the relay";
}

}  // namespace
}  // namespace parlon::test
