// Packets that Unwrap must drop: explicitly (nullopt), with no record made or used, the out
// parameters untouched, and no exception.
#include <gtest/gtest.h>

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>

#include "crypto/message_format.h"
#include "test_network.h"

namespace parlon::test {
namespace {

namespace mf = message_format;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kRecipient = 1;

class UnwrapDrops : public ::testing::Test {
protected:
    // Unwraps `packet` at `parlon` and checks that it was dropped without a trace.
    void ExpectDropped(const ByteBuffer& packet, size_t parlon = kRecipient) {
        const PeerAddress marker{0x01020304, 5};
        PeerAddress nextHop = marker;
        uint32_t messageId = 77;
        const std::array<size_t, kNetworkSize> before = network.RouteCounts();
        EXPECT_FALSE(network.Context(parlon).Unwrap(packet, nextHop, messageId).has_value());
        EXPECT_EQ(nextHop, marker);
        EXPECT_EQ(messageId, 77u);
        EXPECT_EQ(network.RouteCounts(), before);
    }

    // A genuine "F" packet of `hopCount` layers from parlon 0 whose first hop is kRecipient
    // (the addressee at hop count 1, else the first relay of a message to parlon 2).
    ByteBuffer PacketForRecipient(uint32_t hopCount) {
        network.Context(0).SetHopCount(hopCount);
        const uint32_t addressee = hopCount == 1 ? kRecipient : 2;
        for (int attempt = 0; attempt < 1000; ++attempt) {
            PeerAddress firstHop;
            std::optional<ByteBuffer> packet =
                network.Context(0).WrapMessage(Text("x"), addressee, firstHop);
            if (packet && firstHop == network.Address(kRecipient)) {
                return *packet;
            }
        }
        ADD_FAILURE() << "no path through parlon " << kRecipient;
        return ByteBuffer();
    }

    // An "F" packet holding `plaintext` encrypted for kRecipient, cut into `chunks` (by
    // default into 213-byte chunks, as a sender cuts it).
    ByteBuffer Forge(const Bytes& plaintext, uint32_t id = 4321, std::vector<size_t> chunks = {}) {
        if (chunks.empty()) {
            for (size_t offset = 0; offset < plaintext.size(); offset += 213) {
                chunks.push_back(std::min<size_t>(213, plaintext.size() - offset));
            }
        }
        const std::string keyText = network.Context(kRecipient).GetPublicKey();
        CryptoPP::StringSource source(keyText, true, new CryptoPP::Base64Decoder);
        CryptoPP::RSAES_OAEP_SHA_Encryptor encryptor(source);
        Bytes packet(5 + 256 * chunks.size());
        packet[0] = 'F';
        mf::StoreMessageId(packet.data() + 1, id);
        size_t offset = 0;
        for (size_t index = 0; index < chunks.size(); ++index) {
            encryptor.Encrypt(rng, plaintext.data() + offset, chunks[index],
                              packet.data() + 5 + 256 * index);
            offset += chunks[index];
        }
        return ByteBuffer(packet);
    }

    // A layer plaintext: previous hop, next hop, a mask, then `body`.
    Bytes Layer(PeerAddress previous, PeerAddress next, const Bytes& body) {
        Bytes layer(124, 0x5A);
        mf::StoreAddress(layer.data(), previous);
        mf::StoreAddress(layer.data() + 6, next);
        layer.insert(layer.end(), body.begin(), body.end());
        return layer;
    }

    Bytes RandomBytes(size_t size) {
        Bytes bytes(size);
        rng.GenerateBlock(bytes.data(), bytes.size());
        return bytes;
    }

    TestNetwork& network = TestNetwork::Get();
    CryptoPP::AutoSeededRandomPool rng;
    const PeerAddress sender = network.Address(0);
    const PeerAddress onward = network.Address(3);
};

TEST_F(UnwrapDrops, EmptyPacketsAndUnknownKinds) {
    ExpectDropped(ByteBuffer());
    const ByteBuffer genuine = PacketForRecipient(1);
    for (const uint8_t tag : {uint8_t{'X'}, uint8_t{'f'}, uint8_t{'r'}, uint8_t{0}}) {
        ByteBuffer packet(genuine.Bytes());
        packet.MutableData()[0] = tag;
        ExpectDropped(packet);
    }
}

TEST_F(UnwrapDrops, ForwardPacketsOfWrongLength) {
    const ByteBuffer packet = PacketForRecipient(2);
    const std::span<const uint8_t> bytes = packet.Bytes();
    ExpectDropped(ByteBuffer(bytes.first(1)));
    ExpectDropped(ByteBuffer(bytes.first(5)));
    ExpectDropped(ByteBuffer(bytes.first(5 + 256)));           // one block
    ExpectDropped(ByteBuffer(bytes.first(bytes.size() - 1)));  // one byte short
    ExpectDropped(ByteBuffer::Join(packet, ByteBuffer(1)));    // one byte long
    Bytes oversized(mf::kMaxForwardPacketSize + 256, 0);       // one block over the cap
    oversized[0] = 'F';
    oversized[1] = 1;
    ExpectDropped(ByteBuffer(oversized));
}

TEST_F(UnwrapDrops, PacketForAnotherParlon) {
    ExpectDropped(PacketForRecipient(3), 4);
}

TEST_F(UnwrapDrops, OneCorruptedByteInAnyBlock) {
    const ByteBuffer packet = PacketForRecipient(3);
    const size_t blocks = (packet.Length() - 5) / 256;
    ASSERT_EQ(blocks, 5u);
    for (size_t block = 0; block < blocks; ++block) {
        ByteBuffer corrupted(packet.Bytes());
        corrupted.MutableData()[5 + 256 * block + 100] ^= 0x40;
        SCOPED_TRACE(block);
        ExpectDropped(corrupted);
    }
}

TEST_F(UnwrapDrops, BlockThatIsNotBelowTheModulus) {
    const ByteBuffer packet = PacketForRecipient(3);
    for (const size_t block : {size_t{0}, size_t{4}}) {
        ByteBuffer corrupted(packet.Bytes());
        std::fill_n(corrupted.MutableData() + 5 + 256 * block, 256, uint8_t{0xFF});
        ExpectDropped(corrupted);
    }
}

TEST_F(UnwrapDrops, ForwardPacketWithIdZero) {
    ExpectDropped(Forge(Layer(sender, PeerAddress{}, Bytes(112, 'a')), 0));
}

TEST_F(UnwrapDrops, LayersOfWrongShape) {
    const Bytes text(112, 'a');
    Bytes shortText(text.begin(), text.end() - 1);
    Bytes longText = text;
    longText.push_back('b');
    ExpectDropped(Forge(Layer(sender, PeerAddress{}, shortText)));    // addressee: 235 bytes
    ExpectDropped(Forge(Layer(sender, PeerAddress{}, longText)));     // addressee: 237 bytes
    ExpectDropped(Forge(Layer(PeerAddress{}, PeerAddress{}, text)));  // no previous hop
    ExpectDropped(Forge(Layer(PeerAddress{}, onward, RandomBytes(512))));
    ExpectDropped(Forge(Layer(sender, onward, RandomBytes(300))));  // not whole blocks
    ExpectDropped(Forge(Layer(sender, onward, RandomBytes(256))));  // a one-block layer
    // Chunks that a sender does not cut: too short a layer, a short chunk before the last.
    ExpectDropped(Forge(RandomBytes(120), 4321, {60, 60}));
    ExpectDropped(Forge(Layer(sender, PeerAddress{}, text), 4321, {212, 24}));
    ExpectDropped(Forge(Layer(sender, PeerAddress{}, text), 4321, {214, 22}));
}

TEST_F(UnwrapDrops, ForgedLayersOfRightShapeAreOpened) {
    // Twenty blocks of the next layer: decrypted by several threads, forwarded byte for byte.
    const Bytes nextLayer = RandomBytes(20 * 256);
    PeerAddress nextHop;
    uint32_t messageId = 5;
    const size_t routesBefore = network.Context(kRecipient).RouteCount();
    std::optional<ByteBuffer> forward =
        network.Context(kRecipient)
            .Unwrap(Forge(Layer(sender, onward, nextLayer)), nextHop, messageId);
    ASSERT_TRUE(forward.has_value());
    EXPECT_EQ(nextHop, onward);
    EXPECT_EQ(messageId, 0u);
    ASSERT_EQ(forward->Length(), 5 + nextLayer.size());
    EXPECT_EQ(forward->Data()[0], 'F');
    EXPECT_TRUE(std::equal(nextLayer.begin(), nextLayer.end(), forward->Data() + 5));

    const Bytes text(112, 'a');
    std::optional<ByteBuffer> message =
        network.Context(kRecipient)
            .Unwrap(Forge(Layer(sender, PeerAddress{}, text), 999), nextHop, messageId);
    ASSERT_TRUE(message.has_value());
    EXPECT_TRUE(nextHop.IsNone());
    EXPECT_EQ(messageId, 999u);
    EXPECT_EQ(Bytes(message->Data(), message->Data() + message->Length()), text);
    EXPECT_EQ(network.Context(kRecipient).RouteCount(), routesBefore + 2);
    EXPECT_TRUE(network.Context(kRecipient).WrapReply(Text("done"), 999, nextHop).has_value());
}

TEST_F(UnwrapDrops, ReplyPacketsOfWrongLengthOrUnmatched) {
    const std::optional<Delivery> delivery =
        CarryMessage(PacketForRecipient(1), network.Address(kRecipient));
    ASSERT_TRUE(delivery.has_value());
    PeerAddress toSender;
    const std::optional<ByteBuffer> reply =
        network.Context(kRecipient).WrapReply(Text("hi"), delivery->messageId, toSender);
    ASSERT_TRUE(reply.has_value());
    const std::span<const uint8_t> bytes = reply->Bytes();

    ExpectDropped(ByteBuffer(bytes.first(122)), 0);
    ExpectDropped(ByteBuffer::Join(*reply, ByteBuffer(1)), 0);
    ExpectDropped(*reply, 2);  // a parlon that never sent this message on
    ByteBuffer wrongId(bytes);
    mf::StoreMessageId(wrongId.MutableData() + 7, delivery->linkIds.front() % 32000 + 1);
    ExpectDropped(wrongId, 0);
    ByteBuffer wrongSender(bytes);
    mf::StoreAddress(wrongSender.MutableData() + 1, network.Address(4));
    ExpectDropped(wrongSender, 0);

    PeerAddress nextHop;
    uint32_t messageId = 0;
    EXPECT_TRUE(network.Context(0).Unwrap(*reply, nextHop, messageId).has_value());
}

// The addressee's record answers WrapReply only: no "R" packet reaches it, whatever its id,
// even one that claims to come from address "none" (where the addressee's record points).
TEST_F(UnwrapDrops, ReplyPacketsNeverMatchTheAddresseesRecord) {
    const std::optional<Delivery> delivery =
        CarryMessage(PacketForRecipient(1), network.Address(kRecipient));
    ASSERT_TRUE(delivery.has_value());

    Bytes probe(123, 0);
    probe[0] = 'R';
    for (uint32_t id = 1; id <= 32000; ++id) {
        mf::StoreMessageId(probe.data() + 7, id);
        PeerAddress nextHop;
        uint32_t messageId = 0;
        ASSERT_FALSE(
            network.Context(kRecipient).Unwrap(ByteBuffer(probe), nextHop, messageId).has_value())
            << "id " << id;
    }
    EXPECT_TRUE(CarryReply(*delivery, Text("still answerable")).has_value());
}

}  // namespace
}  // namespace parlon::test
