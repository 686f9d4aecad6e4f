// Five parlons sharing one list, made once per test program (key generation is slow); packets
// no parlon would build are forged; key texts are read by a Base64 reader of the test's own.
#include <cryptopp/base64.h>
#include <cryptopp/osrng.h>
#include <cryptopp/queue.h>
#include <cryptopp/rsa.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "crypto/encryption_context.h"
#include "crypto/key_pair.h"
#include "crypto/message_format.h"

namespace parlon::test {
namespace {

namespace mf = message_format;
using Bytes = std::vector<uint8_t>;
inline constexpr size_t kNetworkSize = 5;

inline TextField Text(std::string_view text) {
    return MakeTextField({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

inline Bytes BytesOf(const ByteBuffer& buffer) {
    return {buffer.Data(), buffer.Data() + buffer.Length()};
}

struct Parlons {  // made on first use
    static Parlons& Get() {
        static Parlons parlons;
        return parlons;
    }
    Parlons() {
        for (size_t index = 0; index < kNetworkSize; ++index) {
            list[index].ip = ParseIpv4("127.0.0.1");
            list[index].port = static_cast<uint16_t>(7001 + index);
            contexts[index] = std::make_unique<EncryptionContext>(list[index].Address(), &list);
            list[index].SetPublicKey(contexts[index]->GetPublicKey());
        }
    }
    std::vector<ParlonEntry> list = std::vector<ParlonEntry>(kNetworkSize);
    std::array<std::unique_ptr<EncryptionContext>, kNetworkSize> contexts;
};

struct Delivery {
    std::vector<size_t> hops;           // the parlons it reached in order, the addressee last
    std::vector<uint32_t> packetSizes;  // sizes of the "F" packets that reached them
    uint32_t messageId = 0;             // as the addressee's Unwrap reported it
    Bytes text;                         // as the addressee's Unwrap reported it
};

constexpr size_t kRecipient = 1;
const PeerAddress kMarker{0x01020304, 5};

struct Dropped {
    std::string what;
    ByteBuffer packet;
    size_t parlon = kRecipient;
};

class Network : public ::testing::Test {
  protected:
    void TearDown() override { list = savedList; }  // for tests that change the list in use

    EncryptionContext& Context(size_t index) { return *Parlons::Get().contexts.at(index); }
    PeerAddress Address(size_t index) const { return savedList.at(index).Address(); }
    size_t IndexOf(const PeerAddress& address) const {
        return static_cast<size_t>(std::find_if(savedList.begin(), savedList.end(),
                                                [&](auto& e) { return e.Address() == address; }) -
                                   savedList.begin());
    }
    std::array<size_t, kNetworkSize> RouteCounts() {
        std::array<size_t, kNetworkSize> counts{};
        for (size_t index = 0; index < kNetworkSize; ++index) {
            counts[index] = Context(index).RouteCount();
        }
        return counts;
    }
    Bytes RandomBytes(size_t size) {
        Bytes bytes(size);
        rng.GenerateBlock(bytes.data(), bytes.size());
        return bytes;
    }

    // Wraps `message` at `from` for `addressee` in `hopCount` layers and carries it from hop
    // to hop; nullopt when some hop dropped it.
    std::optional<Delivery> Send(size_t from, uint32_t addressee, uint32_t hopCount,
                                 const TextField& message) {
        Context(from).SetHopCount(hopCount);
        PeerAddress to;
        std::optional<ByteBuffer> packet = Context(from).WrapMessage(message, addressee, to);
        EXPECT_TRUE(packet.has_value()) << "WrapMessage dropped a well-formed message";
        Delivery delivery;
        while (packet && !to.IsNone() && delivery.hops.size() <= EncryptionContext::kMaxHopCount) {
            delivery.hops.push_back(IndexOf(to));
            delivery.packetSizes.push_back(packet->Length());
            packet = Context(delivery.hops.back()).Unwrap(*packet, to, delivery.messageId);
        }
        delivery.text = packet ? BytesOf(*packet) : Bytes{};
        return packet ? std::optional(delivery) : std::nullopt;
    }

    // The addressee of `delivery` answers with `reply`, which travels back masked, hop by hop,
    // once: the sender gets its message and the reply, and every record is gone.
    void ExpectReplyComesBack(const Delivery& delivery, const TextField& message,
                              const TextField& reply) {
        EncryptionContext& addressee = Context(delivery.hops.back());
        PeerAddress to;
        std::optional<ByteBuffer> packet = addressee.WrapReply(reply, delivery.messageId, to);
        EXPECT_FALSE(addressee.WrapReply(reply, delivery.messageId, to));
        ASSERT_EQ(packet.value_or(ByteBuffer()).Length(), 123u);
        EXPECT_EQ(mf::LoadAddress(packet->Data() + 1), Address(delivery.hops.back()));
        EXPECT_EQ(mf::LoadMessageId(packet->Data() + 7), delivery.messageId);
        EXPECT_FALSE(std::equal(reply.begin(), reply.end(), packet->Data() + 11));
        while (!to.IsNone()) {
            uint32_t messageId = 99;
            EncryptionContext& at = Context(IndexOf(to));
            const std::optional<ByteBuffer> result = at.Unwrap(*packet, to, messageId);
            ASSERT_TRUE(result.has_value());
            EXPECT_EQ(messageId, 0u);
            EXPECT_FALSE(at.Unwrap(*packet, to, messageId)) << "served twice";
            packet = result;
        }
        Bytes both(message.begin(), message.end());
        both.insert(both.end(), reply.begin(), reply.end());
        EXPECT_EQ(BytesOf(*packet), both);
        EXPECT_EQ(RouteCounts(), routesBefore);
    }

    void ExpectUnwrapDrops(const Dropped& dropped) {
        PeerAddress nextHop = kMarker;
        uint32_t messageId = 77;
        const std::array<size_t, kNetworkSize> before = RouteCounts();
        EXPECT_FALSE(Context(dropped.parlon).Unwrap(dropped.packet, nextHop, messageId))
            << dropped.what;
        EXPECT_EQ(nextHop, kMarker) << dropped.what;
        EXPECT_EQ(messageId, 77u) << dropped.what;
        EXPECT_EQ(RouteCounts(), before) << dropped.what;
    }

    // An "F" packet of `plaintext` for kRecipient, cut as a sender cuts after `firstChunk`.
    ByteBuffer Forge(const Bytes& plaintext, uint32_t id = 4321, size_t firstChunk = 213) {
        CryptoPP::RSAES_OAEP_SHA_Encryptor encryptor(Context(kRecipient).GetKeyPair().PrivateKey());
        Bytes packet = {'F', 0, 0, 0, 0};
        mf::StoreMessageId(packet.data() + 1, id);
        for (size_t offset = 0, chunk = 0; offset < plaintext.size(); offset += chunk) {
            chunk = std::min(offset == 0 ? firstChunk : 213, plaintext.size() - offset);
            packet.resize(packet.size() + 256);
            encryptor.Encrypt(rng, plaintext.data() + offset, chunk, &packet[packet.size() - 256]);
        }
        return ByteBuffer(packet);
    }

    // A layer plaintext: previous hop, next hop, a mask, then `body`.
    static Bytes Layer(PeerAddress previous, PeerAddress next, const Bytes& body) {
        Bytes layer(124 + body.size(), 0x5A);
        mf::StoreAddress(layer.data(), previous);
        mf::StoreAddress(layer.data() + 6, next);
        std::copy(body.begin(), body.end(), layer.begin() + 124);
        return layer;
    }

    static ByteBuffer Reply(PeerAddress from, uint32_t id) {
        Bytes packet(123, 0x33);
        packet[0] = 'R';
        mf::StoreAddress(packet.data() + 1, from);
        mf::StoreMessageId(packet.data() + 7, id);
        return ByteBuffer(packet);
    }

    // `packet` with `bytes` written at `offset`.
    static ByteBuffer With(const ByteBuffer& packet, size_t offset, const Bytes& bytes) {
        ByteBuffer copy(packet.Bytes());
        std::copy(bytes.begin(), bytes.end(), copy.MutableData() + offset);
        return copy;
    }

    std::vector<ParlonEntry>& list = Parlons::Get().list;
    const std::vector<ParlonEntry> savedList = list;
    const std::array<size_t, kNetworkSize> routesBefore = RouteCounts();
    CryptoPP::AutoSeededRandomPool rng;
    const PeerAddress sender = Address(0), onward = Address(3), none{};
    const Bytes text = Bytes(112, 'a');
};

// Size of the "F" packet of a message in so many layers.
const std::map<size_t, uint32_t> kPacketSizes = {{1, 517},  {2, 773},  {3, 1285},
                                                 {4, 1797}, {5, 2309}, {6, 3077},
                                                 {7, 4101}, {8, 5125}, {16, 26629}};

class RoundTripByHopCount : public Network, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(RoundTripByHopCount, MessageReachesAddresseeAndReplyComesBackUnmasked) {
    const uint32_t hopCount = std::min(GetParam(), 16u);
    const TextField message = Text("Meet me at the old mill at nine.");
    const std::optional<Delivery> delivery = Send(0, 3, GetParam(), message);
    ASSERT_TRUE(delivery.has_value());
    ASSERT_EQ(delivery->hops.size(), hopCount);
    EXPECT_EQ(delivery->hops.back(), 3u);
    EXPECT_EQ(delivery->text, Bytes(message.begin(), message.end()));
    for (size_t hop = 0; hop < hopCount; ++hop) {  // at 8 and 16 hops, every size of the table
        if (const auto size = kPacketSizes.find(hopCount - hop); size != kPacketSizes.end()) {
            EXPECT_EQ(delivery->packetSizes[hop], size->second) << "hop " << hop;
        }
    }
    ExpectReplyComesBack(*delivery, message, Text("I will be there."));
}

INSTANTIATE_TEST_SUITE_P(HopCounts, RoundTripByHopCount,
                         ::testing::Values(1u, 2u, 3u, 8u, 17u, UINT32_MAX));

TEST_F(Network, RelayThatOccursTwiceOnThePathRoutesMessageAndReply) {
    // Three relays drawn from five parlons: a path with a repeat comes within a few messages.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::optional<Delivery> delivery = Send(0, 4, 4, Text("twice through"));
        ASSERT_TRUE(delivery.has_value());
        const std::set<size_t> relays(delivery->hops.begin(), delivery->hops.end() - 1);
        ExpectReplyComesBack(*delivery, Text("twice through"), Text("and back"));
        if (relays.size() < 3) {
            return;
        }
    }
    FAIL() << "no path with a repeated relay in 100 messages";
}

// A fresh sender (on parlon 0's keys) keeps the newest 4096 records, and the ids of its links
// to one parlon stay distinct (4096 draws would repeat, and a reply find the wrong record).
TEST_F(Network, FreshSenderKeepsTheNewest4096RecordsWithDistinctIds) {
    std::vector<ParlonEntry> own = {savedList[0], savedList[4]};
    own[0].port = 7100;
    EncryptionContext fresh(own[0].Address(), &own, Context(0).GetKeyPair(),
                            std::make_unique<CryptoPP::AutoSeededRandomPool>());
    PeerAddress hop;
    std::vector<ByteBuffer> packets;
    std::set<uint32_t> ids;
    for (size_t message = 0; message <= EncryptionContext::kMaxRouteRecords; ++message) {
        packets.push_back(fresh.WrapMessage(Text("unanswered"), 1, hop).value_or(ByteBuffer()));
        ASSERT_EQ(packets.back().Length(), 517u);
        ids.insert(mf::LoadMessageId(packets.back().Data() + 1));
    }
    EXPECT_EQ(fresh.RouteCount(), EncryptionContext::kMaxRouteRecords);
    EXPECT_EQ(ids.size(), packets.size());
    EXPECT_GE(*ids.begin(), 1u);
    EXPECT_LE(*ids.rbegin(), 32000u);

    // Parlon 4 answers the oldest and the newest; only the newest still has a record.
    for (const ByteBuffer* packet : {&packets.front(), &packets.back()}) {
        uint32_t messageId = 0;
        ASSERT_TRUE(Context(4).Unwrap(*packet, hop, messageId).has_value());
        const ByteBuffer reply = Context(4).WrapReply(Text("late"), messageId, hop).value();
        EXPECT_EQ(fresh.Unwrap(reply, hop, messageId).has_value(), packet == &packets.back());
    }
    EXPECT_EQ(fresh.RouteCount(), EncryptionContext::kMaxRouteRecords - 1);
}

// Forged packets: each drop is for its own fault, since the right ones are opened.
TEST_F(Network, UnwrapOpensOnlyForwardPacketsOfRightFormLengthKeyAndLayerShape) {
    // Five blocks: a relay layer for kRecipient, right in every other way.
    const ByteBuffer good = Forge(Layer(sender, onward, RandomBytes(3 * 256)));
    ASSERT_EQ(good.Length(), 1285u);
    const std::span<const uint8_t> bytes = good.Bytes();
    std::vector<Dropped> cases = {
        {"empty", ByteBuffer()},
        {"tag X", With(good, 0, {'X'})},
        {"tag f", With(good, 0, {'f'})},
        {"tag 0", With(good, 0, {0})},
        {"no block", ByteBuffer(bytes.first(5))},
        {"one block", ByteBuffer(bytes.first(5 + 256))},
        {"one byte short", ByteBuffer(bytes.first(bytes.size() - 1))},
        {"one byte long", ByteBuffer::Join(good, ByteBuffer(1))},
        {"for another parlon", good, 4},
        {"first block not below the modulus", With(good, 5, Bytes(256, 0xFF))},
        {"last block not below the modulus", With(good, 5 + 4 * 256, Bytes(256, 0xFF))},
        {"27141 bytes, well formed", Forge(Layer(sender, onward, RandomBytes(87 * 256)))},
        {"id 0", Forge(Layer(sender, none, text), 0)},
        {"addressee layer of 235 bytes", Forge(Layer(sender, none, Bytes(111, 'a')))},
        {"addressee layer of 237 bytes", Forge(Layer(sender, none, Bytes(113, 'a')))},
        {"addressee layer without previous hop", Forge(Layer(none, none, text))},
        {"relay layer not whole blocks", Forge(Layer(sender, onward, RandomBytes(300)))},
        {"relay layer of one block", Forge(Layer(sender, onward, RandomBytes(256)))},
        {"layer of 120 bytes", Forge(RandomBytes(120), 4321, 60)},
        // Chunks of 212 + 23 and of 214 + 23 bytes fill 213 + 23 bytes: a whole addressee layer.
        {"short chunk before the last", Forge(Layer(sender, none, Bytes(111, 'a')), 4321, 212)},
        {"chunk over 213 bytes", Forge(Layer(sender, none, Bytes(113, 'a')), 4321, 214)},
    };
    for (size_t offset = 5 + 100; offset < bytes.size(); offset += 256) {
        cases.push_back({"byte " + std::to_string(offset) + " changed",
                         With(good, offset, {static_cast<uint8_t>(bytes[offset] ^ 0x40)})});
    }
    for (const Dropped& dropped : cases) {
        ExpectUnwrapDrops(dropped);
    }

    // The right ones are opened: the longest packet taken (104 blocks, shared out among the
    // decryptor's threads), an addressee layer with the same incoming id, `good` itself.
    const Bytes nextLayer = RandomBytes(86 * 256);
    const ByteBuffer longest = Forge(Layer(Address(4), onward, nextLayer), 999);
    ASSERT_EQ(longest.Length(), 26629u);
    PeerAddress nextHop;
    uint32_t messageId = 5;
    std::optional<ByteBuffer> forward = Context(kRecipient).Unwrap(longest, nextHop, messageId);
    ASSERT_TRUE(forward.has_value());
    EXPECT_EQ(nextHop, onward);
    EXPECT_EQ(Bytes(forward->Data() + 5, forward->Data() + forward->Length()), nextLayer);
    const ByteBuffer forged = Forge(Layer(sender, none, text), 999);
    std::optional<ByteBuffer> message = Context(kRecipient).Unwrap(forged, nextHop, messageId);
    ASSERT_TRUE(message.has_value());
    EXPECT_TRUE(nextHop.IsNone());
    EXPECT_EQ(messageId, 999u);
    EXPECT_EQ(BytesOf(*message), text);
    EXPECT_TRUE(Context(kRecipient).WrapReply(Text("done"), 999, nextHop));
    EXPECT_EQ(nextHop, sender);  // the addressee's record, not the relay's
    EXPECT_TRUE(Context(kRecipient).Unwrap(good, nextHop, messageId));
}

TEST_F(Network, RepliesMatchingNoRecordAreDropped) {
    const TextField reply = Text("only once");
    const std::optional<Delivery> delivery = Send(0, kRecipient, 1, Text("hi"));
    ASSERT_TRUE(delivery.has_value());
    const std::array<size_t, kNetworkSize> held = RouteCounts();
    // The sender's record awaits `matching`; the addressee's record answers WrapReply only.
    const uint32_t id = delivery->messageId;
    const ByteBuffer matching = Reply(Address(kRecipient), id);
    const std::vector<Dropped> cases = {
        {"122 bytes", ByteBuffer(matching.Bytes().first(122)), 0},
        {"124 bytes", ByteBuffer::Join(matching, ByteBuffer(1)), 0},
        {"at a parlon without the record", matching, 2},
        {"other id", Reply(Address(kRecipient), id % 32000 + 1), 0},
        {"other sender", Reply(Address(4), id), 0},
        {"at the addressee, from none, id 0", Reply(none, 0)},
        {"at the addressee, from none", Reply(none, id)},
        {"at the addressee, from the sender", Reply(sender, id)},
    };
    for (const Dropped& dropped : cases) {
        ExpectUnwrapDrops(dropped);
    }
    // Nor does WrapReply answer an id without an addressee record (the sender's record has 0).
    for (const uint32_t unknown : {0u, id % 32000 + 1, UINT32_MAX}) {
        PeerAddress previousHop = kMarker;
        EXPECT_FALSE(Context(unknown == 0 ? 0 : kRecipient).WrapReply(reply, unknown, previousHop));
        EXPECT_EQ(previousHop, kMarker) << unknown;
        EXPECT_EQ(RouteCounts(), held) << unknown;
    }

    ExpectReplyComesBack(*delivery, Text("hi"), reply);
}

TEST_F(Network, WrapMessageRefusesWhatItCannotSend) {
    // A public key of 2040 bits, whose blocks would be 255 bytes.
    CryptoPP::RSAFunction shortKey;
    shortKey.Initialize((Context(3).GetKeyPair().PrivateKey().GetModulus() >> 9) * 2 + 1, 17);
    std::string shortKeyText;
    CryptoPP::Base64Encoder encoder(new CryptoPP::StringSink(shortKeyText), true, 72);
    shortKey.DEREncode(encoder);
    encoder.MessageEnd();
    // Each case changes the list in use or the hop count and gives the addressee's index.
    const std::vector<std::pair<std::string, std::function<uint32_t()>>> cases = {
        {"hop count 0", [&] { return Context(0).SetHopCount(0), 2u; }},
        {"addressee index past the list", [] { return uint32_t{kNetworkSize}; }},
        {"addressee index UINT32_MAX", [] { return UINT32_MAX; }},
        {"own entry not in the list", [&] { return list.erase(list.begin()), 1u; }},
        {"empty list", [&] { return list.clear(), 0u; }},
        {"addressee key no key", [&] { return list[2].SetPublicKey("not a key\n"), 2u; }},
        {"addressee key cut short",
         [&] { return list[2].SetPublicKey(list[3].PublicKeyText().substr(0, 200)), 2u; }},
        {"addressee key of 2040 bits", [&] { return list[2].SetPublicKey(shortKeyText), 2u; }},
        {"addressee at address none", [&] { return list[2].ip = list[2].port = 0, 2u; }},
    };
    for (const auto& [what, change] : cases) {
        list = savedList;
        Context(0).SetHopCount(1);
        PeerAddress firstHop = kMarker;
        EXPECT_FALSE(Context(0).WrapMessage(Text("x"), change(), firstHop)) << what;
        EXPECT_EQ(firstHop, kMarker) << what;
        EXPECT_EQ(RouteCounts(), routesBefore) << what;
    }
}

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// SubjectPublicKeyInfo (288 bytes): AlgorithmIdentifier { rsaEncryption, NULL }, BIT STRING
// (no unused bits) { RSAPublicKey { INTEGER n (257 bytes, a zero first), INTEGER e } }; then
// the other 256 bytes of n and INTEGER 17.
const Bytes kPublicKeyHead = {0x30, 0x82, 0x01, 0x20, 0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48,
                              0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00, 0x03, 0x82, 0x01,
                              0x0D, 0x00, 0x30, 0x82, 0x01, 0x08, 0x02, 0x82, 0x01, 0x01, 0x00};

uint8_t Byte(size_t bits) {
    return static_cast<uint8_t>(bits);
}

// The bytes of `text`: strict Base64 in lines of 72 characters (the last one 1..72), every
// line ending in a line feed; nullopt when it is not.
std::optional<Bytes> DecodeKeyText(std::string_view text) {
    std::string base64;
    for (size_t index = 0; index < text.size(); ++index) {
        const bool lineEnds = index % 73 == 72 || index + 1 == text.size();
        if ((text[index] == '\n') != lineEnds || text.size() % 73 == 1) {
            return std::nullopt;
        }
        base64.append(lineEnds ? 0 : 1, text[index]);
    }
    const size_t padding = base64.ends_with("==") ? 2 : base64.ends_with('=') ? 1 : 0;
    base64.replace(base64.size() - padding, padding, padding, 'A');
    if (base64.empty() || base64.size() % 4 != 0) {
        return std::nullopt;
    }
    Bytes bytes;
    for (size_t group = 0; group < base64.size(); group += 4) {
        size_t bits = 0;
        for (size_t index = group; index < group + 4; ++index) {
            const size_t value = kBase64Alphabet.find(base64[index]);
            if (value == std::string_view::npos) {
                return std::nullopt;
            }
            bits = bits << 6 | value;
        }
        bytes.insert(bytes.end(), {Byte(bits >> 16), Byte(bits >> 8), Byte(bits)});
    }
    bytes.resize(bytes.size() - padding);
    return bytes;
}

TEST(KeyText, PublicIs398CharactersOfSpkiAndPrivateIsPkcs8OfTheSameKeyWithExponent17) {
    const EncryptionContext& context = *Parlons::Get().contexts[0];
    EXPECT_EQ(context.GetPublicKey().size(), 398u);  // five full lines and one of 32 characters
    const std::optional<Bytes> publicDer = DecodeKeyText(context.GetPublicKey());
    ASSERT_TRUE(publicDer.has_value());
    ASSERT_EQ(publicDer->size(), 292u);
    EXPECT_EQ(Bytes(publicDer->begin(), publicDer->begin() + 33), kPublicKeyHead);
    EXPECT_GE((*publicDer)[33], 0x80u);  // so exactly 2048 bits
    EXPECT_EQ(Bytes(publicDer->end() - 3, publicDer->end()), (Bytes{0x02, 0x01, 0x11}));

    const CryptoPP::SecByteBlock text = context.GetKeyPair().PrivateKeyText();
    const std::optional<Bytes> der =
        DecodeKeyText({reinterpret_cast<const char*>(text.data()), text.size()});
    ASSERT_TRUE(der.has_value());
    ASSERT_GT(der->size(), 297u);
    const auto size = [&](size_t from, size_t shift) {
        return Byte((der->size() - from) >> shift);
    };
    // PrivateKeyInfo { 0, rsaEncryption, OCTET STRING { RSAPrivateKey { 0, n, e, d, ... } } }
    const Bytes head = {0x30,        0x82,        size(4, 8), size(4, 0),  0x02,        0x01, 0x00,
                        0x30,        0x0D,        0x06,       0x09,        0x2A,        0x86, 0x48,
                        0x86,        0xF7,        0x0D,       0x01,        0x01,        0x01, 0x05,
                        0x00,        0x04,        0x82,       size(26, 8), size(26, 0), 0x30, 0x82,
                        size(30, 8), size(30, 0), 0x02,       0x01,        0x00};
    EXPECT_EQ(Bytes(der->begin(), der->begin() + 33), head);
    EXPECT_TRUE(std::equal(publicDer->begin() + 28, publicDer->end(), der->begin() + 33));  // n, e

    // The numbers make one consistent key: Crypto++'s full check (primes, d, CRT values).
    CryptoPP::ByteQueue queue;
    queue.Put(der->data(), der->size());
    CryptoPP::InvertibleRSAFunction key;
    key.BERDecode(queue);
    CryptoPP::AutoSeededRandomPool rng;
    EXPECT_TRUE(key.Validate(rng, 2));
}

}  // namespace
}  // namespace parlon::test
