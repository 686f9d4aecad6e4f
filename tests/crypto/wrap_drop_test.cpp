// Messages and replies that WrapMessage and WrapReply must refuse: explicitly (nullopt), with
// no record made or used and the out parameter untouched.
#include <gtest/gtest.h>

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>

#include "test_network.h"

namespace parlon::test {
namespace {

constexpr size_t kSender = 0;
constexpr uint32_t kAddressee = 2;

class WrapDrops : public ::testing::Test {
protected:
    void SetUp() override { network.Context(kSender).SetHopCount(2); }
    // Every test may change the list in use; it is put back afterwards.
    void TearDown() override { network.List() = savedList; }

    void ExpectMessageRefused(uint32_t destIndex) {
        const PeerAddress marker{0x01020304, 5};
        PeerAddress firstHop = marker;
        const std::array<size_t, kNetworkSize> before = network.RouteCounts();
        EXPECT_FALSE(
            network.Context(kSender).WrapMessage(Text("x"), destIndex, firstHop).has_value());
        EXPECT_EQ(firstHop, marker);
        EXPECT_EQ(network.RouteCounts(), before);
    }

    TestNetwork& network = TestNetwork::Get();
    const std::vector<ParlonEntry> savedList = network.List();
};

TEST_F(WrapDrops, HopCountZero) {
    network.Context(kSender).SetHopCount(0);
    ExpectMessageRefused(kAddressee);
}

TEST_F(WrapDrops, AddresseeIndexOutOfRange) {
    ExpectMessageRefused(kNetworkSize);
    ExpectMessageRefused(UINT32_MAX);
}

TEST_F(WrapDrops, OwnEntryNotInTheList) {
    network.List().erase(network.List().begin() + kSender);
    ExpectMessageRefused(1);
}

TEST_F(WrapDrops, EmptyList) {
    network.List().clear();
    ExpectMessageRefused(0);
}

TEST_F(WrapDrops, AddresseeKeyThatIsNoKey) {
    network.Context(kSender).SetHopCount(1);
    network.List()[kAddressee].SetPublicKey("this is not a key\n");
    ExpectMessageRefused(kAddressee);
    network.List()[kAddressee].SetPublicKey(
        network.List()[kAddressee + 1].PublicKeyText().substr(0, 200));
    ExpectMessageRefused(kAddressee);
}

TEST_F(WrapDrops, AddresseeKeyOfAnotherSize) {
    network.Context(kSender).SetHopCount(1);
    CryptoPP::AutoSeededRandomPool rng;
    CryptoPP::InvertibleRSAFunction smallKey;
    smallKey.Initialize(rng, 1024, 17);
    std::string keyText;
    CryptoPP::Base64Encoder encoder(new CryptoPP::StringSink(keyText), true, 72);
    CryptoPP::RSAFunction(smallKey).DEREncode(encoder);
    encoder.MessageEnd();
    network.List()[kAddressee].SetPublicKey(keyText);
    ExpectMessageRefused(kAddressee);
}

TEST_F(WrapDrops, AddresseeAtAddressNone) {
    network.Context(kSender).SetHopCount(1);
    network.List()[kAddressee].ip = 0;
    network.List()[kAddressee].port = 0;
    ExpectMessageRefused(kAddressee);
}

TEST_F(WrapDrops, ReplyToAnIdThatNoRecordHas) {
    network.Context(kSender).SetHopCount(1);
    PeerAddress firstHop;
    // The sender's own record has no incoming id (0); it must not answer WrapReply(0).
    ASSERT_TRUE(network.Context(kSender).WrapMessage(Text("x"), kAddressee, firstHop).has_value());
    for (const uint32_t id : {0u, 32001u, UINT32_MAX}) {
        const PeerAddress marker{0x01020304, 5};
        PeerAddress previousHop = marker;
        const size_t before = network.Context(kSender).RouteCount();
        EXPECT_FALSE(network.Context(kSender).WrapReply(Text("y"), id, previousHop).has_value());
        EXPECT_EQ(previousHop, marker);
        EXPECT_EQ(network.Context(kSender).RouteCount(), before);
    }
}

}  // namespace
}  // namespace parlon::test
