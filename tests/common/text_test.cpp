#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "common/address_text.h"
#include "common/text_bounds.h"
#include "common/utf8_text.h"

namespace parlon {
namespace {

using namespace std::string_view_literals;

TEST(TextBounds, TextEndsAtTheFirstNulOrItsEndAndTrimmingTakesOnlyTheBlanksGiven) {
    for (const auto& [bytes, text] :
         {std::pair{"hi"sv, "hi"sv}, {"hi\0there"sv, "hi"sv}, {"\0hi"sv, ""sv}}) {
        EXPECT_EQ(TextUpToNul(bytes), text) << bytes;
    }
    const std::tuple<std::string_view, std::string_view, std::string_view> cases[] = {
        {" \t8 8\t ", kBlankAndTab, "8 8"},  // blanks inside stay
        {"\r8888\n", kBlankAndTab, "\r8888\n"},
        {" \t ", kBlankAndTab, ""},
        {"\f\v Nickname = Al \r\n", kAsciiWhiteSpace, "Nickname = Al"},
    };
    for (const auto& [text, blanks, trimmed] : cases) {
        EXPECT_EQ(TrimmedText(text, blanks), trimmed) << text;
    }
}

// Text from peers ends up in log and event lines: one line of UTF-8, nothing hidden past a NUL.
TEST(OneLineText, ControlCharactersBecomeBlanksAndInvalidUtf8TheReplacementCharacter) {
    for (const auto& [text, line] : {std::pair{"two\nlines"sv, "two lines"sv},
                                     {"a\rb\tc\x7F"sv, "a b c "sv},
                                     {"nul\0inside"sv, "nul inside"sv},
                                     {"caf\xC3\xA9 \"q\""sv, "caf\xC3\xA9 \"q\""sv},
                                     {"bad\xFF"sv, "bad\xEF\xBF\xBD"sv},
                                     {"cut\xC3"sv, "cut\xEF\xBF\xBD"sv},
                                     {""sv, ""sv}}) {
        EXPECT_EQ(OneLineText(text), line) << text;
    }
}

// The center's listening address and a node's center address are read by this one rule.
TEST(AddressText, OnlyDottedDecimalsAColonAndDecimalDigitsMakeAnAddressAndPort) {
    const auto at = [](const char* ip, uint16_t port) {
        return std::optional<PeerAddress>(PeerAddress{::inet_addr(ip), port});
    };
    const std::pair<std::string_view, std::optional<PeerAddress>> accepted[] = {
        {"127.0.0.1:7878", at("127.0.0.1", 7878)},
        {"10.1.2.3:0", at("10.1.2.3", 0)},  // a listening address may take any free port
        {"255.255.255.255:65535", at("255.255.255.255", 65535)},
        {"0.0.0.0:07878", at("0.0.0.0", 7878)},
    };
    for (const auto& [text, address] : accepted) {
        EXPECT_EQ(ParseAddressAndPort(text), address) << text;
    }
    // inet_addr would read the octal 010 as 8.
    for (const std::string_view refused :
         {"1.2.3.4: +7878", "1.2.3.4:+7878", "1.2.3.4: 7878", "1.2.3.4:7878 ", " 1.2.3.4:7878",
          "1.2.3.4:-1", "1.2.3.4:65536", "1.2.3.4:7x", "1.2.3.4:", "1.2.3.4", ":7878",
          "1.2.3.4::7878", "1.2.3.010:7878", "0x7f.0.0.1:7878", "1.2.3:7878", "1.2.3.256:7878",
          ""}) {
        EXPECT_EQ(ParseAddressAndPort(refused), std::nullopt) << refused;
    }
}

}  // namespace
}  // namespace parlon
