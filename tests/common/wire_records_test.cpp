#include "common/wire_records.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/text_field.h"

namespace parlon {
namespace {

TEST(WireRecords, AddressAndPortHaveTheirWireBytes) {
    PeerAddress address{ParseIpv4("127.0.0.1"), 8888};
    uint8_t bytes[kPeerAddressSize];
    std::memcpy(bytes, &address, sizeof bytes);
    const uint8_t expected[] = {0x7F, 0x00, 0x00, 0x01, 0xB8, 0x22};
    EXPECT_EQ(std::memcmp(bytes, expected, sizeof bytes), 0);
    EXPECT_EQ(address.IpText(), "127.0.0.1");
    EXPECT_FALSE(address.IsNone());
    EXPECT_TRUE(PeerAddress{}.IsNone());
    EXPECT_FALSE((PeerAddress{0, 1}).IsNone());
}

TEST(WireRecords, UnparsableAddressesBecomeAllOnes) {
    EXPECT_EQ(ParseIpv4("not an address"), 0xFFFFFFFFu);
    EXPECT_EQ((PeerAddress{ParseIpv4("nonsense"), 0}.IpText()), "255.255.255.255");
}

TEST(WireRecords, NicknameFieldHoldsTwelveBytesWithoutATerminator) {
    ParlonEntry entry;
    entry.SetNickname("TwelveChars!");
    EXPECT_EQ(entry.NicknameText(), "TwelveChars!");
    entry.SetNickname("FifteenCharsLong");
    EXPECT_EQ(entry.NicknameText(), "FifteenChars");
    entry.SetNickname("Al");
    EXPECT_EQ(entry.NicknameText(), "Al");
    EXPECT_EQ(entry.nickname[2], 0);
    EXPECT_EQ(entry.nickname[11], 0);
}

TEST(WireRecords, PublicKeyFieldStopsAtItsNul) {
    ParlonEntry entry;
    entry.SetPublicKey(std::string(398, 'x'));
    EXPECT_EQ(entry.PublicKeyText().size(), 398u);
    EXPECT_EQ(entry.publicKey[398], 0);
    // A hostile entry with no NUL reads as the whole field, never beyond it.
    std::memset(entry.publicKey, 'y', sizeof entry.publicKey);
    entry.SetNickname("nick");
    EXPECT_EQ(entry.PublicKeyText().size(), kPublicKeyFieldSize);
}

TEST(TextFieldTest, FieldHoldsTextNulAndZeroFiller) {
    const uint8_t queued[] = {'h', 'i', 0};
    const TextField field = MakeTextField(queued);
    EXPECT_EQ(FieldText(field), "hi");
    EXPECT_EQ(field[111], 0);

    std::vector<uint8_t> tooLong(200, 'z');
    EXPECT_EQ(FieldText(MakeTextField(tooLong)).size(), kTextFieldSize);
}

}  // namespace
}  // namespace parlon
