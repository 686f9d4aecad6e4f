#include "common/wire_records.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <tuple>

#include "common/text_field.h"

namespace parlon {
namespace {

using AddressBytes = std::array<uint8_t, kPeerAddressSize>;

TEST(WireRecords, AddressesHaveTheirWireBytesAndUnparsableOnesBecomeAllOnes) {
    const std::vector<std::tuple<PeerAddress, AddressBytes, std::string>> cases = {
        {{ParseIpv4("127.0.0.1"), 8888}, {0x7F, 0x00, 0x00, 0x01, 0xB8, 0x22}, "127.0.0.1"},
        {{ParseIpv4("10.1.2.3"), 7878}, {0x0A, 0x01, 0x02, 0x03, 0xC6, 0x1E}, "10.1.2.3"},
        {{ParseIpv4("not an address"), 1}, {0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00}, "255.255.255.255"},
    };
    for (const auto& [address, expected, text] : cases) {
        AddressBytes bytes;
        std::memcpy(bytes.data(), &address, bytes.size());
        EXPECT_EQ(bytes, expected) << text;
        EXPECT_EQ(address.IpText(), text);
        EXPECT_FALSE(address.IsNone()) << text;
    }
    EXPECT_TRUE(PeerAddress{}.IsNone());
    EXPECT_FALSE((PeerAddress{0, 1}).IsNone());
}

TEST(WireRecords, TextFieldsAreCutToTheirSizeZeroFilledAndReadUpToTheirNulOrTheirEnd) {
    ParlonEntry entry;
    // In this order, so that the short one must clear what the longer ones left.
    for (const auto& [typed, kept] : {std::pair{"TwelveChars!", "TwelveChars!"},
                                      {"FifteenCharsLong", "FifteenChars"},
                                      {"Al", "Al"}}) {
        entry.SetNickname(typed);
        EXPECT_EQ(entry.NicknameText(), kept) << typed;
    }
    EXPECT_EQ(entry.nickname[11], 0);
    entry.SetPublicKey(std::string(398, 'x'));
    EXPECT_EQ(entry.PublicKeyText(), std::string(398, 'x'));
    // A hostile entry with no NUL reads as the whole field, never into the nickname after it.
    std::memset(entry.publicKey, 'y', sizeof entry.publicKey);
    EXPECT_EQ(entry.PublicKeyText(), std::string(kPublicKeyFieldSize, 'y'));

    const uint8_t queued[] = {'h', 'i', 0};
    EXPECT_EQ(FieldText(MakeTextField(queued)), "hi");
    EXPECT_EQ(MakeTextField(queued)[kTextFieldSize - 1], 0);
    EXPECT_EQ(FieldText(MakeTextField(std::vector<uint8_t>(200, 'z'))),
              std::string(kTextFieldSize, 'z'));
}

}  // namespace
}  // namespace parlon
