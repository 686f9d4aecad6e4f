// Five parlons on one list, made once (key generation is slow), and packets no parlon builds.
#include <cryptopp/base64.h>
#include <cryptopp/osrng.h>
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
#include "crypto/opened_layers.h"
#include "crypto/route_table.h"
#include "support/test_support.h"

namespace parlon::test {
namespace {

namespace mf = message_format;
using Bytes = std::vector<uint8_t>;
constexpr size_t kNetworkSize = 5;
constexpr size_t kRecipient = 1;
const PeerAddress kMarker{0x01020304, 5};
// Every parlon of the test network is on 127.0.0.1; packets come from there unless a case says.
const PeerAddress kLoopback{ParseIpv4("127.0.0.1"), 40000};

TextField Text(std::string_view text) {
    return MakeTextField({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
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
            contexts[index] = std::make_unique<EncryptionContext>(list[index].Address(), list);
            list[index].SetPublicKey(contexts[index]->GetPublicKey());
        }
    }
    std::vector<ParlonEntry> list = std::vector<ParlonEntry>(kNetworkSize);
    std::array<std::unique_ptr<EncryptionContext>, kNetworkSize> contexts;
};

struct Dropped {
    std::string what;
    ByteBuffer packet;
    size_t parlon = kRecipient;
    PeerAddress source = kLoopback;
};

class Network : public ::testing::Test {
  protected:
    void TearDown() override { list = savedList; }  // for tests that change the list in use

    EncryptionContext& Context(size_t index) { return *Parlons::Get().contexts.at(index); }
    PeerAddress Address(size_t index) const { return savedList.at(index).Address(); }
    static size_t IndexOf(const PeerAddress& address) { return address.port - 7001u; }
    std::array<size_t, kNetworkSize> RouteCounts() {
        std::array<size_t, kNetworkSize> counts{};
        for (size_t index = 0; index < kNetworkSize; ++index) {
            counts[index] = Context(index).RouteCount();
        }
        return counts;
    }

    void ExpectUnwrapDrops(const Dropped& dropped) {
        PeerAddress nextHop = kMarker;
        ReplyHandle message(77, 77);
        const std::array<size_t, kNetworkSize> before = RouteCounts();
        EXPECT_FALSE(
            Context(dropped.parlon).Unwrap(dropped.packet, dropped.source, nextHop, message))
            << dropped.what;
        EXPECT_EQ(nextHop, kMarker) << dropped.what;
        EXPECT_EQ(message, ReplyHandle(77, 77)) << dropped.what;
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

// Each hop opens its layer once, even under another id; the reply comes back once, leaving no
// record.
TEST_P(RoundTripByHopCount, MessageReachesAddresseeOnceAndReplyComesBackUnmasked) {
    const uint32_t hopCount = std::min(GetParam(), 16u);
    const TextField message = Text("Meet me at the old mill at nine.");
    const TextField reply = Text("I will be there.");
    for (size_t index = 0; index < kNetworkSize; ++index) {
        Context(index).SetHopCount(GetParam());
    }
    PeerAddress to;
    std::optional<ByteBuffer> packet = Context(0).WrapMessage(message, 3, to);
    std::vector<size_t> hops;
    ReplyHandle received;
    while (packet && !to.IsNone() && hops.size() <= EncryptionContext::kMaxHopCount) {
        hops.push_back(IndexOf(to));
        const ByteBuffer arrived = *packet;
        packet = Context(hops.back()).Unwrap(arrived, kLoopback, to, received);
        if (const auto size = kPacketSizes.find(hopCount + 1 - hops.size());
            size != kPacketSizes.end()) {  // at 8 and 16 hops, every size of the table
            EXPECT_EQ(arrived.Length(), size->second) << "hop " << hops.size();
        }
        Bytes otherId(4);
        mf::StoreMessageId(otherId.data(), mf::LoadMessageId(arrived.Data() + 1) % 32000 + 1);
        ExpectUnwrapDrops({"replayed", arrived, hops.back()});
        ExpectUnwrapDrops({"replayed under another id", With(arrived, 1, otherId), hops.back()});
    }
    ASSERT_TRUE(packet.has_value());
    ASSERT_EQ(hops.size(), hopCount);
    EXPECT_EQ(hops.back(), 3u);
    EXPECT_EQ(BytesOf(*packet), Bytes(message.begin(), message.end()));

    packet = Context(3).WrapReply(reply, received, to);
    EXPECT_FALSE(Context(3).WrapReply(reply, received, to));
    ASSERT_EQ(packet.value_or(ByteBuffer()).Length(), 123u);  // its sender and id: the next hop
    EXPECT_FALSE(std::equal(reply.begin(), reply.end(), packet->Data() + 11));
    while (!to.IsNone()) {
        EncryptionContext& at = Context(IndexOf(to));
        const std::optional<ByteBuffer> result = at.Unwrap(*packet, kLoopback, to, received);
        ASSERT_TRUE(result.has_value());
        EXPECT_FALSE(at.Unwrap(*packet, kLoopback, to, received)) << "served twice";
        packet = result;
    }
    Bytes both(message.begin(), message.end());
    both.insert(both.end(), reply.begin(), reply.end());
    EXPECT_EQ(BytesOf(*packet), both);
    EXPECT_EQ(RouteCounts(), routesBefore);
}

INSTANTIATE_TEST_SUITE_P(HopCounts, RoundTripByHopCount, ::testing::Values(1u, 2u, 3u, 8u, 17u));

// The replay store keeps the newest kCapacity digests, every one of them still found.
TEST(OpenedLayersTest, HoldsTheNewestDigestsUpToItsCapacityAndForgetsTheOldestFirst) {
    constexpr uint32_t kForgotten = 5000;
    const auto digest = [](uint32_t number) {
        return OpenedLayers::DigestOf({reinterpret_cast<const uint8_t*>(&number), sizeof number});
    };
    OpenedLayers store;
    for (uint32_t number = 0; number < OpenedLayers::kCapacity + kForgotten; ++number) {
        store.Insert(digest(number));
    }
    std::array<size_t, 2> held{};  // of the oldest, of the newest
    for (uint32_t number = 0; number < OpenedLayers::kCapacity + kForgotten; ++number) {
        held[number >= kForgotten] += store.Contains(digest(number)) ? 1u : 0u;
    }
    EXPECT_EQ(held, (std::array<size_t, 2>{0, OpenedLayers::kCapacity}));
}

// On the test's own clock: a full table refuses new records until old ones expire.
TEST(RouteTableTest, RefusesRatherThanEvictLiveRecordsAndExpiresThemWhenTheirReplyCannotCome) {
    using namespace std::chrono_literals;
    const RouteTable::Clock::time_point start;
    RouteTable table(/*capacity=*/4, /*quotaPerSource=*/4);
    const PeerAddress genuine{ParseIpv4("127.0.0.1"), 1};
    const RouteRecord addressee{RouteRole::Addressee,   genuine,     {}, 7, 0,
                                LayerPlaintext(112, 1), std::nullopt};
    ASSERT_TRUE(table.Add(addressee, start, start + 10s));
    const RouteRecord passed{RouteRole::Relay, {}, genuine, 1, 7, LayerPlaintext(112, 1), {}};
    ASSERT_TRUE(table.Add(passed, start, start + 60s));
    ASSERT_TRUE(table.Add(addressee, start, start + 60s));
    const uint64_t late = table.Add(addressee, start, start + 20s).value();
    EXPECT_FALSE(table.Add(addressee, start + 10s - 1ms, start + 60s)) << "full of live ones";
    EXPECT_TRUE(table.Add(addressee, start + 10s, start + 60s)) << "the first one expired";
    EXPECT_FALSE(table.TakeAddresseeRecord(late, start + 20s)) << "expired";
    EXPECT_EQ(table.TakeForReplyFrom(genuine, 7, start).value_or(RouteRecord{}).nextAddress,
              genuine);
}

// Forged packets: each drop is for its own fault, since the right one opens.
TEST_F(Network, UnwrapOpensOnlyForwardPacketsOfRightFormLengthKeyAndLayerShape) {
    Context(kRecipient).SetHopCount(3);
    const Bytes relayBody(2 * 256, 7);
    // Five blocks: a relay layer for kRecipient, right in every other way.
    const ByteBuffer good = Forge(Layer(sender, onward, Bytes(3 * 256, 7)));
    const std::span<const uint8_t> bytes = good.Bytes();
    const PeerAddress nobody{ParseIpv4("127.0.0.1"), 29998};
    const std::vector<Dropped> cases = {
        {"empty", ByteBuffer()},
        {"tag X", With(good, 0, {'X'})},
        {"one byte short", ByteBuffer(bytes.first(bytes.size() - 1))},
        {"one byte long", ByteBuffer::Join(good, ByteBuffer(1))},
        {"four blocks: no packet of any hop count", ByteBuffer(bytes.first(5 + 4 * 256))},
        {"four layers at hop count 3", Forge(Layer(sender, onward, Bytes(5 * 256, 7)))},
        {"for another parlon", good, 4},
        {"last block not below the modulus", With(good, 5 + 4 * 256, Bytes(256, 0xFF))},
        {"a middle block changed", With(good, 5 + 2 * 256 + 100, {0x40})},
        {"id 0", Forge(Layer(sender, none, text), 0)},
        {"addressee layer of 235 bytes", Forge(Layer(sender, none, Bytes(111, 'a')))},
        {"addressee layer of 237 bytes", Forge(Layer(sender, none, Bytes(113, 'a')))},
        {"previous hop not a parlon", Forge(Layer(nobody, none, text))},
        {"from an address that is not the previous hop",
         good,
         kRecipient,
         {ParseIpv4("127.0.0.2"), 40000}},
        {"next hop not a parlon", Forge(Layer(sender, nobody, relayBody))},
        {"relay layer not whole blocks", Forge(Layer(sender, onward, Bytes(300, 7)))},
        {"relay layer of one block", Forge(Layer(sender, onward, Bytes(256, 7)))},
        {"layer of 120 bytes", Forge(Bytes(120, 7), 4321, 60)},
        // Chunks of 212 + 23 and of 214 + 23 bytes fill 213 + 23 bytes: a whole addressee layer.
        {"short chunk before the last", Forge(Layer(sender, none, Bytes(111, 'a')), 4321, 212)},
        {"chunk over 213 bytes", Forge(Layer(sender, none, Bytes(113, 'a')), 4321, 214)},
    };
    for (const Dropped& dropped : cases) {
        ExpectUnwrapDrops(dropped);
    }
    PeerAddress nextHop;
    ReplyHandle message;
    EXPECT_TRUE(Context(kRecipient).Unwrap(good, kLoopback, nextHop, message));
    EXPECT_EQ(nextHop, onward);
}

// An attacker reusing a message's id fills only its quota; each answer takes its own record.
TEST_F(Network, AnAnswerGoesThroughItsOwnRecordWhateverSharesItsId) {
    Context(0).SetHopCount(1);
    EncryptionContext addressee(Address(kRecipient), list, Context(kRecipient).GetKeyPair(),
                                std::make_unique<CryptoPP::AutoSeededRandomPool>());
    PeerAddress to;
    const ByteBuffer genuine = Context(0).WrapMessage(Text("the code?"), kRecipient, to).value();
    const uint32_t id = mf::LoadMessageId(genuine.Data() + 1);
    const auto receive = [&](const ByteBuffer& packet) {
        ReplyHandle message;
        PeerAddress next;
        return addressee.Unwrap(packet, kLoopback, next, message) ? message : ReplyHandle();
    };
    const ReplyHandle attackersFirst = receive(Forge(Layer(Address(2), none, text), id));
    const ReplyHandle genuineMessage = receive(genuine);
    for (size_t more = 1; more < EncryptionContext::kRouteQuotaPerSource; ++more) {
        ASSERT_TRUE(receive(Forge(Layer(Address(2), none, text), id)).NamesARecord());
    }
    EXPECT_FALSE(receive(Forge(Layer(Address(2), none, text), id)).NamesARecord()) << "quota";
    // Two other senders with one id between them, taken while the attacker is at its quota.
    const ReplyHandle fromThree = receive(Forge(Layer(Address(3), none, text), 555));
    const ReplyHandle fromFour = receive(Forge(Layer(Address(4), none, text), 555));

    // The sender's record awaits `matching` from the addressee, and nothing like it.
    const ByteBuffer matching = Reply(Address(kRecipient), id);
    const std::vector<Dropped> cases = {
        {"122 bytes", ByteBuffer(matching.Bytes().first(122)), 0},
        {"124 bytes", ByteBuffer::Join(matching, ByteBuffer(1)), 0},
        {"at a parlon without the record", matching, 2},
        {"other id", Reply(Address(kRecipient), id % 32000 + 1), 0},
        {"other sender", Reply(Address(4), id), 0},
        {"from an address that is not the sender's", matching, 0, {ParseIpv4("127.0.0.2"), 40000}},
    };
    for (const Dropped& dropped : cases) {
        ExpectUnwrapDrops(dropped);
    }
    const TextField code = Text("the code is 0451");
    PeerAddress previousHop = kMarker;
    EXPECT_FALSE(
        addressee.WrapReply(code, ReplyHandle(fromFour.Record() + 1000, 555), previousHop));
    EXPECT_EQ(previousHop, kMarker);

    const std::vector<std::pair<ReplyHandle, size_t>> answers = {
        {genuineMessage, 0}, {fromFour, 4}, {fromThree, 3}, {attackersFirst, 2}};
    for (const auto& [message, goesTo] : answers) {
        const std::optional<ByteBuffer> reply = addressee.WrapReply(code, message, previousHop);
        ASSERT_TRUE(reply.has_value()) << goesTo;
        EXPECT_EQ(previousHop, Address(goesTo));
        EXPECT_EQ(mf::LoadMessageId(reply->Data() + 7), message.MessageId());
    }
}

TEST_F(Network, WrapMessageRefusesWhatItCannotSend) {
    const std::vector<std::pair<std::string, std::function<uint32_t()>>> cases = {
        {"hop count 0", [&] { return Context(0).SetHopCount(0), 2u; }},
        {"addressee index past the list", [] { return uint32_t{kNetworkSize}; }},
        {"own entry not in the list", [&] { return list.erase(list.begin()), 1u; }},
        {"addressee key no key", [&] { return list[2].SetPublicKey("not a key\n"), 2u; }},
        {"addressee at 0.0.0.0 with a port", [&] { return list[2].ip = 0, 2u; }},
        {"addressee with port 0", [&] { return list[2].port = 0, 2u; }},
    };
    for (const auto& [what, change] : cases) {
        list = savedList;
        Context(0).SetHopCount(1);
        PeerAddress firstHop = kMarker;
        EXPECT_FALSE(Context(0).WrapMessage(Text("x"), change(), firstHop)) << what;
        EXPECT_EQ(firstHop, kMarker) << what;
    }
}

// Base64 in lines of 72 of a SubjectPublicKeyInfo: rsaEncryption, n of 2048 bits, e = 17.
TEST(KeyText, PublicIs398CharactersOfSpkiOfA2048BitKeyWithExponent17) {
    const std::string text = Parlons::Get().contexts[0]->GetPublicKey();
    std::string der, again;
    CryptoPP::StringSource(text, true, new CryptoPP::Base64Decoder(new CryptoPP::StringSink(der)));
    CryptoPP::StringSource(der, true,
                           new CryptoPP::Base64Encoder(new CryptoPP::StringSink(again), true, 72));
    EXPECT_EQ(again, text);
    EXPECT_EQ(text.size(), 398u);  // five full lines and one of 32 characters
    const Bytes head = {0x30, 0x82, 0x01, 0x20, 0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48,
                        0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00, 0x03, 0x82, 0x01,
                        0x0D, 0x00, 0x30, 0x82, 0x01, 0x08, 0x02, 0x82, 0x01, 0x01, 0x00};
    ASSERT_EQ(der.size(), 292u);
    EXPECT_EQ(Bytes(der.begin(), der.begin() + 33), head);
    EXPECT_GE(static_cast<uint8_t>(der[33]), 0x80u);  // so exactly 2048 bits
    EXPECT_EQ(Bytes(der.end() - 3, der.end()), (Bytes{0x02, 0x01, 0x11}));
}

}  // namespace
}  // namespace parlon::test
