// A fresh context: how it starts, and that its route table stays bounded when messages go
// unanswered, dropping the oldest record first, while the ids of its links to one parlon stay
// distinct (4096 draws out of 32000 would repeat some, and a reply would find the wrong record).
#include <gtest/gtest.h>

#include <set>

#include "crypto/message_format.h"
#include "test_network.h"

namespace parlon::test {
namespace {

constexpr uint32_t kPeer = 4;  // the addressee, a parlon of the shared network

TEST(FreshContext, StartsEmptyAndForgetsTheOldestRecordWhenFull) {
    TestNetwork& network = TestNetwork::Get();
    std::vector<ParlonEntry> list(2);
    list[0].ip = ParseIpv4("127.0.0.1");
    list[0].port = 7100;
    EncryptionContext context(list[0].Address(), &list);
    list[0].SetPublicKey(context.GetPublicKey());
    list[1] = network.List()[kPeer];
    EXPECT_EQ(context.RouteCount(), 0u);
    EXPECT_EQ(context.HopCount(), 1u);
    context.SetHopCount(1);

    PeerAddress firstHop;
    const std::optional<ByteBuffer> oldest = context.WrapMessage(Text("first"), 1, firstHop);
    ASSERT_TRUE(oldest.has_value());
    std::optional<ByteBuffer> newest;
    std::set<uint32_t> ids;
    for (size_t message = 1; message <= EncryptionContext::kMaxRouteRecords; ++message) {
        newest = context.WrapMessage(Text("later"), 1, firstHop);
        ASSERT_TRUE(newest.has_value());
        ids.insert(message_format::LoadMessageId(newest->Data() + 1));
    }
    EXPECT_EQ(context.RouteCount(), EncryptionContext::kMaxRouteRecords);
    EXPECT_EQ(ids.size(), EncryptionContext::kMaxRouteRecords);
    EXPECT_GE(*ids.begin(), 1u);
    EXPECT_LE(*ids.rbegin(), 32000u);

    // The peer answers both; only the newest still has a record at the sender.
    auto answer = [&](const ByteBuffer& packet) -> std::optional<ByteBuffer> {
        PeerAddress nextHop;
        uint32_t messageId = 0;
        EXPECT_TRUE(network.Context(kPeer).Unwrap(packet, nextHop, messageId).has_value());
        PeerAddress toSender;
        std::optional<ByteBuffer> reply =
            network.Context(kPeer).WrapReply(Text("answer"), messageId, toSender);
        EXPECT_EQ(toSender, list[0].Address());
        if (!reply) {
            return std::nullopt;
        }
        return context.Unwrap(*reply, nextHop, messageId);
    };
    EXPECT_FALSE(answer(*oldest).has_value());
    const std::optional<ByteBuffer> result = answer(*newest);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->Length(), 224u);
    EXPECT_EQ(context.RouteCount(), EncryptionContext::kMaxRouteRecords - 1);
}

}  // namespace
}  // namespace parlon::test
