#include "common/wire_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/text_field.h"

namespace parlon {
namespace {

// Wire bytes and texts of addresses are the packet and settings tests' part.
TEST(WireRecords, TextFieldsAreCutToTheirSizeZeroFilledAndReadUpToTheirNulOrTheirEnd) {
    EXPECT_FALSE((PeerAddress{0, 1}).IsNone());  // only an address with neither part is none
    ParlonEntry entry;
    // In this order, so that the short one must clear what the longer ones left.
    for (const auto& [typed, kept] : {std::pair{"TwelveChars!", "TwelveChars!"},
                                      {"FifteenCharsLong", "FifteenChars"},
                                      {"Al", "Al"}}) {
        entry.SetNickname(typed);
        EXPECT_EQ(entry.NicknameText(), kept) << typed;
    }
    EXPECT_EQ(entry.nickname[11], 0);
    // A hostile entry with no NUL reads as the whole field, never into the nickname after it.
    std::memset(entry.publicKey, 'y', sizeof entry.publicKey);
    EXPECT_EQ(entry.PublicKeyText(), std::string(kPublicKeyFieldSize, 'y'));

    const uint8_t queued[] = {'h', 'i', 0};
    EXPECT_EQ(MakeTextField(queued)[kTextFieldSize - 1], 0);
    EXPECT_EQ(FieldText(MakeTextField(std::vector<uint8_t>(200, 'z'))),
              std::string(kTextFieldSize, 'z'));
}

}  // namespace
}  // namespace parlon
