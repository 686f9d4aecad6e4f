// Five parlons on one list, made once (key generation is slow), and packets no parlon builds.
#include <cryptopp/base64.h>
#include <cryptopp/osrng.h>
#include <cryptopp/queue.h>
#include <cryptopp/rsa.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <random>
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
const PeerAddress kOtherLoopback{ParseIpv4("127.0.0.2"), 40000};

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

struct Delivery {
    std::vector<size_t> hops;         // the parlons it reached in order, the addressee last
    std::vector<ByteBuffer> packets;  // the "F" packets that reached them
    ReplyHandle message;              // as the addressee's Unwrap reported it
    Bytes text;                       // as the addressee's Unwrap reported it
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

    // Every parlon of the network works with `hopCount` layers.
    void SetHopCount(uint32_t hopCount) {
        for (size_t index = 0; index < kNetworkSize; ++index) {
            Context(index).SetHopCount(hopCount);
        }
    }

    // Carries `message` in `hopCount` layers from `from` to `addressee`; nullopt if a hop drops it.
    std::optional<Delivery> Send(size_t from, uint32_t addressee, uint32_t hopCount,
                                 const TextField& message) {
        SetHopCount(hopCount);
        if (Context(from).HopCount() > EncryptionContext::kMaxHopCount) {
            // Wrapping would take that many layers (hanging at 2^32 - 1): fail instead.
            ADD_FAILURE() << "hop count " << hopCount << " taken without the cap";
            return std::nullopt;
        }
        PeerAddress to;
        std::optional<ByteBuffer> packet = Context(from).WrapMessage(message, addressee, to);
        EXPECT_TRUE(packet.has_value()) << "WrapMessage dropped a well-formed message";
        Delivery delivery;
        while (packet && !to.IsNone() && delivery.hops.size() <= EncryptionContext::kMaxHopCount) {
            delivery.hops.push_back(IndexOf(to));
            delivery.packets.push_back(*packet);
            packet = Context(delivery.hops.back()).Unwrap(*packet, kLoopback, to, delivery.message);
        }
        delivery.text = packet ? BytesOf(*packet) : Bytes{};
        return packet ? std::optional(delivery) : std::nullopt;
    }

    // `reply` travels back masked, once per hop, to the sender, and leaves no record behind.
    void ExpectReplyComesBack(const Delivery& delivery, const TextField& message,
                              const TextField& reply) {
        EncryptionContext& addressee = Context(delivery.hops.back());
        PeerAddress to;
        std::optional<ByteBuffer> packet = addressee.WrapReply(reply, delivery.message, to);
        EXPECT_FALSE(addressee.WrapReply(reply, delivery.message, to));
        ASSERT_EQ(packet.value_or(ByteBuffer()).Length(), 123u);  // its sender and id: the next hop
        EXPECT_FALSE(std::equal(reply.begin(), reply.end(), packet->Data() + 11));
        while (!to.IsNone()) {
            ReplyHandle passed(99, 99);
            EncryptionContext& at = Context(IndexOf(to));
            const std::optional<ByteBuffer> result = at.Unwrap(*packet, kLoopback, to, passed);
            ASSERT_TRUE(result.has_value());
            EXPECT_FALSE(passed.NamesARecord());
            EXPECT_FALSE(at.Unwrap(*packet, kLoopback, to, passed)) << "served twice";
            packet = result;
        }
        Bytes both(message.begin(), message.end());
        both.insert(both.end(), reply.begin(), reply.end());
        EXPECT_EQ(BytesOf(*packet), both);
        EXPECT_EQ(RouteCounts(), routesBefore);
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

// Each hop opens its layer once, not again under another id; the reply comes back unmasked. From 8
// hops on some relay is on the path twice (7 drawn from 5), and both pass it both times.
TEST_P(RoundTripByHopCount, MessageReachesAddresseeOnceAndReplyComesBackUnmasked) {
    const uint32_t hopCount = std::min(GetParam(), 16u);
    const TextField message = Text("Meet me at the old mill at nine.");
    const std::optional<Delivery> delivery = Send(0, 3, GetParam(), message);
    ASSERT_TRUE(delivery.has_value());
    ASSERT_EQ(delivery->hops.size(), hopCount);
    EXPECT_EQ(delivery->hops.back(), 3u);
    EXPECT_EQ(delivery->text, Bytes(message.begin(), message.end()));
    for (size_t hop = 0; hop < hopCount; ++hop) {  // at 8 and 16 hops, every size of the table
        const ByteBuffer& packet = delivery->packets[hop];
        if (const auto size = kPacketSizes.find(hopCount - hop); size != kPacketSizes.end()) {
            EXPECT_EQ(packet.Length(), size->second) << "hop " << hop;
        }
        Bytes otherId(4);
        mf::StoreMessageId(otherId.data(), mf::LoadMessageId(packet.Data() + 1) % 32000 + 1);
        const std::string at = " at hop " + std::to_string(hop);
        ExpectUnwrapDrops({"replayed" + at, packet, delivery->hops[hop]});
        ExpectUnwrapDrops(
            {"replayed under another id" + at, With(packet, 1, otherId), delivery->hops[hop]});
    }
    ExpectReplyComesBack(*delivery, message, Text("I will be there."));
}

INSTANTIATE_TEST_SUITE_P(HopCounts, RoundTripByHopCount,
                         ::testing::Values(1u, 2u, 3u, 8u, 17u, UINT32_MAX));

// A fresh sender holds its quota of unanswered messages with distinct ids to one parlon and
// refuses more rather than forget one: the oldest is still answered, which makes room again.
TEST_F(Network, FreshSenderHoldsItsQuotaOfRecordsAndRefusesMoreRatherThanForgetOne) {
    SetHopCount(1);
    std::vector<ParlonEntry> own = {savedList[0], savedList[4]};
    EncryptionContext fresh(own[0].Address(), own, Context(0).GetKeyPair(),
                            std::make_unique<CryptoPP::AutoSeededRandomPool>());
    PeerAddress hop;
    std::vector<ByteBuffer> packets;
    std::set<uint32_t> ids;
    for (size_t message = 0; message < EncryptionContext::kRouteQuotaPerSource; ++message) {
        packets.push_back(fresh.WrapMessage(Text("unanswered"), 1, hop).value_or(ByteBuffer()));
        ASSERT_EQ(packets.back().Length(), 517u);
        ids.insert(mf::LoadMessageId(packets.back().Data() + 1));
    }
    EXPECT_EQ(ids.size(), packets.size());
    EXPECT_GE(*ids.begin(), 1u);
    EXPECT_LE(*ids.rbegin(), 32000u);
    EXPECT_FALSE(fresh.WrapMessage(Text("one too many"), 1, hop));
    EXPECT_EQ(fresh.RouteCount(), EncryptionContext::kRouteQuotaPerSource);

    ReplyHandle message;
    ASSERT_TRUE(Context(4).Unwrap(packets.front(), kLoopback, hop, message).has_value());
    const ByteBuffer reply = Context(4).WrapReply(Text("late"), message, hop).value();
    EXPECT_TRUE(fresh.Unwrap(reply, kLoopback, hop, message).has_value());
    EXPECT_TRUE(fresh.WrapMessage(Text("room again"), 1, hop).has_value());
}

// The replay store keeps the newest kCapacity digests, every one of them still found.
TEST(OpenedLayersTest, HoldsTheNewestDigestsUpToItsCapacityAndForgetsTheOldestFirst) {
    std::mt19937_64 random(20261212);
    std::vector<OpenedLayers::Digest> digests(OpenedLayers::kCapacity + 5000);
    for (OpenedLayers::Digest& digest : digests) {
        std::generate(digest.begin(), digest.end(), [&] { return static_cast<uint8_t>(random()); });
    }
    OpenedLayers store;
    for (const OpenedLayers::Digest& digest : digests) {
        ASSERT_FALSE(store.Contains(digest));
        store.Insert(digest);
    }
    EXPECT_EQ(store.Size(), OpenedLayers::kCapacity);
    const auto held =
        static_cast<size_t>(std::count_if(digests.begin(), digests.end(), [&](const auto& digest) {
            return store.Contains(digest);
        }));
    EXPECT_EQ(held, OpenedLayers::kCapacity);
    EXPECT_FALSE(std::any_of(digests.begin(), digests.begin() + 5000,
                             [&](const auto& digest) { return store.Contains(digest); }));
    // Digests of the same layer agree; a layer one bit apart does not.
    const Bytes layer(512, 9);
    Bytes other = layer;
    other[511] ^= 1;
    EXPECT_EQ(OpenedLayers::DigestOf(layer), OpenedLayers::DigestOf(Bytes(512, 9)));
    EXPECT_NE(OpenedLayers::DigestOf(layer), OpenedLayers::DigestOf(other));
}

// On the test's own clock: a full table refuses new records until old ones expire, and a reply
// takes its next hop's record. Quotas, serials and taking once are the context tests' part.
TEST(RouteTableTest, RefusesRatherThanEvictLiveRecordsAndExpiresThemWhenTheirReplyCannotCome) {
    using namespace std::chrono_literals;
    const RouteTable::Clock::time_point start;
    RouteTable table(/*capacity=*/4, /*quotaPerSource=*/4);
    const PeerAddress attacker{ParseIpv4("127.0.0.9"), 9}, genuine{ParseIpv4("127.0.0.1"), 1};
    const RouteRecord addressee{RouteRole::Addressee,   genuine,     {}, 7, 0,
                                LayerPlaintext(112, 1), std::nullopt};
    ASSERT_TRUE(table.Add(addressee, start, start + 10s));
    for (const PeerAddress& next : {attacker, genuine}) {
        const RouteRecord passed{RouteRole::Relay, {}, next, 1, 7, LayerPlaintext(112, 1), {}};
        ASSERT_TRUE(table.Add(passed, start, start + 60s));
    }
    const uint64_t late = table.Add(addressee, start, start + 20s).value();
    EXPECT_FALSE(table.Add(addressee, start + 10s - 1ms, start + 60s)) << "full of live ones";
    EXPECT_TRUE(table.Add(addressee, start + 10s, start + 60s)) << "the first one expired";
    EXPECT_FALSE(table.TakeAddresseeRecord(late, start + 20s)) << "expired";
    EXPECT_EQ(table.Size(), 3u);
    EXPECT_EQ(table.TakeForReplyFrom(genuine, 7, start).value_or(RouteRecord{}).nextAddress,
              genuine);
}

// Forged packets: each drop is for its own fault, since the right ones are opened. A previous hop
// other than the packet's source is the session's attack test.
TEST_F(Network, UnwrapOpensOnlyForwardPacketsOfRightFormLengthKeyAndLayerShape) {
    SetHopCount(3);
    // Five blocks: a relay layer for kRecipient, right in every other way.
    const ByteBuffer good = Forge(Layer(sender, onward, RandomBytes(3 * 256)));
    ASSERT_EQ(good.Length(), 1285u);
    const Bytes nextLayer = RandomBytes(86 * 256);
    const ByteBuffer longest = Forge(Layer(Address(4), onward, nextLayer), 999);
    ASSERT_EQ(longest.Length(), 26629u);
    const PeerAddress nobody{ParseIpv4("127.0.0.1"), 29998};
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
        {"four blocks: no packet of any hop count", ByteBuffer(bytes.first(5 + 4 * 256))},
        {"104 blocks at hop count 3", longest},
        {"for another parlon", good, 4},
        {"first block not below the modulus", With(good, 5, Bytes(256, 0xFF))},
        {"last block not below the modulus", With(good, 5 + 4 * 256, Bytes(256, 0xFF))},
        {"id 0", Forge(Layer(sender, none, text), 0)},
        {"addressee layer of 235 bytes", Forge(Layer(sender, none, Bytes(111, 'a')))},
        {"addressee layer of 237 bytes", Forge(Layer(sender, none, Bytes(113, 'a')))},
        {"addressee layer without previous hop", Forge(Layer(none, none, text))},
        {"previous hop 0.0.0.0 with a port", Forge(Layer({0, sender.port}, none, text))},
        {"previous hop with port 0", Forge(Layer({sender.ip, 0}, none, text))},
        {"next hop 0.0.0.0:9999", Forge(Layer(sender, {0, 9999}, RandomBytes(2 * 256)))},
        {"next hop with port 0", Forge(Layer(sender, {onward.ip, 0}, RandomBytes(2 * 256)))},
        {"next hop not a parlon", Forge(Layer(sender, nobody, RandomBytes(2 * 256)))},
        {"previous hop not a parlon", Forge(Layer(nobody, none, text))},
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

    // `good` opens, and at hop count 16 so does the longest packet (shared among the decryptor's
    // threads), dropped before.
    PeerAddress nextHop;
    ReplyHandle message;
    EXPECT_TRUE(Context(kRecipient).Unwrap(good, kLoopback, nextHop, message));
    EXPECT_EQ(nextHop, onward);
    SetHopCount(16);
    std::optional<ByteBuffer> forward =
        Context(kRecipient).Unwrap(longest, kLoopback, nextHop, message);
    ASSERT_TRUE(forward.has_value());
    EXPECT_EQ(nextHop, onward);
    EXPECT_EQ(Bytes(forward->Data() + 5, forward->Data() + forward->Length()), nextLayer);
}

// An attacker using a genuine message's id fills no more than its quota and takes no answer meant
// for another: each answer goes through its own message's record, as for two senders of one id.
TEST_F(Network, AnAnswerGoesThroughItsOwnRecordWhateverSharesItsId) {
    SetHopCount(1);
    EncryptionContext addressee(Address(kRecipient), list, Context(kRecipient).GetKeyPair(),
                                std::make_unique<CryptoPP::AutoSeededRandomPool>());
    PeerAddress to;
    const ByteBuffer genuine =
        Context(0).WrapMessage(Text("the launch code?"), kRecipient, to).value();
    const uint32_t id = mf::LoadMessageId(genuine.Data() + 1);
    const auto receive = [&](const ByteBuffer& packet) {
        ReplyHandle message;
        PeerAddress next;
        return addressee.Unwrap(packet, kLoopback, next, message) ? message : ReplyHandle();
    };
    const ReplyHandle attackersFirst = receive(Forge(Layer(Address(2), none, text), id));
    ASSERT_TRUE(attackersFirst.NamesARecord());
    const ReplyHandle genuineMessage = receive(genuine);
    ASSERT_TRUE(genuineMessage.NamesARecord());
    EXPECT_EQ(genuineMessage.MessageId(), attackersFirst.MessageId());
    for (size_t more = 1; more < EncryptionContext::kRouteQuotaPerSource; ++more) {
        ASSERT_TRUE(receive(Forge(Layer(Address(2), none, text), id)).NamesARecord());
    }
    EXPECT_FALSE(receive(Forge(Layer(Address(2), none, text), id)).NamesARecord()) << "quota";
    // Two other senders with one id between them, taken while the attacker is at its quota.
    const ReplyHandle fromThree = receive(Forge(Layer(Address(3), none, text), 555));
    const ReplyHandle fromFour = receive(Forge(Layer(Address(4), none, text), 555));

    const std::vector<std::pair<ReplyHandle, size_t>> answers = {
        {genuineMessage, 0}, {fromFour, 4}, {fromThree, 3}, {attackersFirst, 2}};
    const TextField code = Text("the launch code is 0451");
    for (const auto& [message, goesTo] : answers) {
        PeerAddress previousHop;
        const std::optional<ByteBuffer> reply = addressee.WrapReply(code, message, previousHop);
        ASSERT_TRUE(reply.has_value()) << goesTo;
        EXPECT_EQ(previousHop, Address(goesTo));
        EXPECT_EQ(mf::LoadMessageId(reply->Data() + 7), message.MessageId());
        if (goesTo == 0) {  // the real sender reads it
            ReplyHandle replied;
            const std::optional<ByteBuffer> result =
                Context(0).Unwrap(*reply, kLoopback, to, replied);
            ASSERT_TRUE(result.has_value());
            EXPECT_EQ(Bytes(result->Data() + 112, result->Data() + 224),
                      Bytes(code.begin(), code.end()));
        }
    }
}

TEST_F(Network, RepliesMatchingNoRecordAreDropped) {
    const TextField reply = Text("only once");
    const std::optional<Delivery> delivery = Send(0, kRecipient, 1, Text("hi"));
    ASSERT_TRUE(delivery.has_value());
    const std::array<size_t, kNetworkSize> held = RouteCounts();
    // The sender's record awaits `matching`; the addressee's record answers WrapReply only.
    const uint32_t id = delivery->message.MessageId();
    const ByteBuffer matching = Reply(Address(kRecipient), id);
    const std::vector<Dropped> cases = {
        {"122 bytes", ByteBuffer(matching.Bytes().first(122)), 0},
        {"124 bytes", ByteBuffer::Join(matching, ByteBuffer(1)), 0},
        {"at a parlon without the record", matching, 2},
        {"other id", Reply(Address(kRecipient), id % 32000 + 1), 0},
        {"other sender", Reply(Address(4), id), 0},
        {"from an address that is not the sender's", matching, 0, kOtherLoopback},
        {"at the addressee, from none, id 0", Reply(none, 0)},
        {"at the addressee, from none", Reply(none, id)},
        {"at the addressee, from the sender", Reply(sender, id)},
    };
    for (const Dropped& dropped : cases) {
        ExpectUnwrapDrops(dropped);
    }
    // Nor does WrapReply answer no record, another number, or the sender's own record.
    for (const ReplyHandle& unknown :
         {ReplyHandle(), ReplyHandle(delivery->message.Record() + 1000, id),
          ReplyHandle(delivery->message.Record() - 1, id)}) {
        PeerAddress previousHop = kMarker;
        EXPECT_FALSE(Context(kRecipient).WrapReply(reply, unknown, previousHop));
        EXPECT_EQ(previousHop, kMarker) << unknown.Record();
        EXPECT_EQ(RouteCounts(), held) << unknown.Record();
    }

    ExpectReplyComesBack(*delivery, Text("hi"), reply);
}

TEST_F(Network, WrapMessageRefusesWhatItCannotSend) {
    // Each case changes the list in use or the hop count and gives the addressee's index.
    const std::vector<std::pair<std::string, std::function<uint32_t()>>> cases = {
        {"hop count 0", [&] { return Context(0).SetHopCount(0), 2u; }},
        {"addressee index past the list", [] { return uint32_t{kNetworkSize}; }},
        {"addressee index UINT32_MAX", [] { return UINT32_MAX; }},
        {"own entry not in the list", [&] { return list.erase(list.begin()), 1u; }},
        {"empty list", [&] { return list.clear(), 0u; }},
        // Which key texts are no 2048-bit keys: the center's refusals of them.
        {"addressee key no key", [&] { return list[2].SetPublicKey("not a key\n"), 2u; }},
        {"addressee at address none", [&] { return list[2].ip = list[2].port = 0, 2u; }},
        {"addressee at 0.0.0.0 with a port", [&] { return list[2].ip = 0, 2u; }},
        {"addressee with port 0", [&] { return list[2].port = 0, 2u; }},
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

// SubjectPublicKeyInfo (288 bytes): AlgorithmIdentifier { rsaEncryption, NULL }, BIT STRING
// (no unused bits) { RSAPublicKey { INTEGER n (257 bytes, a zero first), INTEGER e } }; then
// the other 256 bytes of n and INTEGER 17.
const Bytes kPublicKeyHead = {0x30, 0x82, 0x01, 0x20, 0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48,
                              0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00, 0x03, 0x82, 0x01,
                              0x0D, 0x00, 0x30, 0x82, 0x01, 0x08, 0x02, 0x82, 0x01, 0x01, 0x00};

// The DER bytes of a key text, which must be Base64 in lines of 72, each ending in a line feed.
Bytes DerOf(const std::string& text) {
    std::string der, again;
    CryptoPP::StringSource(text, true, new CryptoPP::Base64Decoder(new CryptoPP::StringSink(der)));
    CryptoPP::StringSource(der, true,
                           new CryptoPP::Base64Encoder(new CryptoPP::StringSink(again), true, 72));
    EXPECT_EQ(again, text) << "not Base64 in lines of 72";
    return Bytes(der.begin(), der.end());
}

TEST(KeyText, PublicIs398CharactersOfSpkiAndPrivateIsPkcs8OfTheSameKeyWithExponent17) {
    const EncryptionContext& context = *Parlons::Get().contexts[0];
    EXPECT_EQ(context.GetPublicKey().size(), 398u);  // five full lines and one of 32 characters
    const Bytes publicDer = DerOf(context.GetPublicKey());
    ASSERT_EQ(publicDer.size(), 292u);
    EXPECT_EQ(Bytes(publicDer.begin(), publicDer.begin() + 33), kPublicKeyHead);
    EXPECT_GE(publicDer[33], 0x80u);  // so exactly 2048 bits
    EXPECT_EQ(Bytes(publicDer.end() - 3, publicDer.end()), (Bytes{0x02, 0x01, 0x11}));

    // A PrivateKeyInfo of the same n and e that passes Crypto++'s full check (primes, d, CRT).
    const CryptoPP::SecByteBlock text = context.GetKeyPair().PrivateKeyText();
    const Bytes der = DerOf(std::string(text.begin(), text.end()));
    CryptoPP::ByteQueue queue;
    queue.Put(der.data(), der.size());
    CryptoPP::RSA::PrivateKey key;
    ASSERT_NO_THROW(key.Load(queue)) << "no PKCS #8 RSA key";
    CryptoPP::ByteQueue again;
    key.Save(again);  // DER: the text is the key's one encoding (Load also takes BER)
    Bytes saved(again.CurrentSize());
    again.Get(saved.data(), saved.size());
    EXPECT_EQ(saved, der);
    EXPECT_EQ(key.GetModulus(), CryptoPP::Integer(publicDer.data() + 33, 256));
    EXPECT_EQ(key.GetPublicExponent(), CryptoPP::Integer(17));
    CryptoPP::AutoSeededRandomPool rng;
    EXPECT_TRUE(key.Validate(rng, 2));
}

}  // namespace
}  // namespace parlon::test
