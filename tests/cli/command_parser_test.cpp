#include "cli/command_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace parlon {
namespace {

Command Parsed(std::string_view line) {
    const ParsedCommand parsed = ParseCommand(line);
    EXPECT_TRUE(parsed.valid) << "refused \"" << line << "\": " << parsed.error;
    return parsed.command;
}

std::string Refusal(std::string_view line) {
    const ParsedCommand parsed = ParseCommand(line);
    EXPECT_FALSE(parsed.valid) << "accepted \"" << line << "\"";
    EXPECT_FALSE(parsed.error.empty());
    return parsed.error;
}

TEST(CommandParserTest, EveryCommandIsRecognised) {
    EXPECT_EQ(Parsed("send 3 hello"), (Command{CommandKind::Send, 3, "hello"}));
    EXPECT_EQ(Parsed("reply 123 yes"), (Command{CommandKind::Reply, 123, "yes"}));
    EXPECT_EQ(Parsed("list"), (Command{CommandKind::List, 0, {}}));
    EXPECT_EQ(Parsed("connect"), (Command{CommandKind::Connect, 0, {}}));
    EXPECT_EQ(Parsed("disconnect"), (Command{CommandKind::Disconnect, 0, {}}));
    EXPECT_EQ(Parsed("quit"), (Command{CommandKind::Quit, 0, {}}));
}

TEST(CommandParserTest, BlankLinesAreNothingToDo) {
    EXPECT_EQ(Parsed("").kind, CommandKind::None);
    EXPECT_EQ(Parsed("  \t ").kind, CommandKind::None);
    EXPECT_EQ(Parsed("\r").kind, CommandKind::None);
}

TEST(CommandParserTest, BlanksAroundWordsAndATrailingCarriageReturnAreIgnored) {
    EXPECT_EQ(Parsed("  list  ").kind, CommandKind::List);
    EXPECT_EQ(Parsed("\tquit\r").kind, CommandKind::Quit);
    EXPECT_EQ(Parsed("send\t 2 hi\r"), (Command{CommandKind::Send, 2, "hi"}));
}

TEST(CommandParserTest, TextIsTakenAsItStandsAfterOneBlank) {
    EXPECT_EQ(Parsed("send 0 two  words ").text, "two  words ");
    EXPECT_EQ(Parsed("send 0  leading").text, " leading");
    EXPECT_EQ(Parsed("send 0\ttab").text, "tab");
    EXPECT_EQ(Parsed("reply 7 send 1 x").text, "send 1 x");
}

TEST(CommandParserTest, TextMayBeEmpty) {
    EXPECT_EQ(Parsed("send 4"), (Command{CommandKind::Send, 4, ""}));
    EXPECT_EQ(Parsed("send 4 "), (Command{CommandKind::Send, 4, ""}));
    EXPECT_EQ(Parsed("reply 9"), (Command{CommandKind::Reply, 9, ""}));
}

TEST(CommandParserTest, TextUpTo110BytesOfUtf8IsAcceptedAndOneByteMoreRefused) {
    const std::string longest(110, 'x');
    EXPECT_EQ(Parsed("send 0 " + longest).text, longest);
    Refusal("send 0 " + longest + "y");
    // 55 two-byte characters are 110 bytes; one more byte would split nothing but exceed the limit.
    std::string accents;
    for (int i = 0; i < 55; ++i) {
        accents += "\xC3\xA9";
    }
    EXPECT_EQ(Parsed("reply 1 " + accents).text, accents);
    Refusal("reply 1 " + accents + "!");
}

TEST(CommandParserTest, TextThatIsNotValidUtf8OrHoldsNulIsRefused) {
    Refusal("send 0 caf\xC3");        // cut inside a character
    Refusal("send 0 \xC0\xAF");       // overlong form
    Refusal("reply 5 \xED\xA0\x80");  // a surrogate
    Refusal(std::string("send 0 a\0b", 10));
}

TEST(CommandParserTest, NumbersAreDecimalWithinThirtyTwoBits) {
    EXPECT_EQ(Parsed("send 4294967295 x").number, 4294967295u);
    EXPECT_EQ(Parsed("send 007 x").number, 7u);
    Refusal("send 4294967296 x");
    Refusal("send -1 x");
    Refusal("send +1 x");
    Refusal("send 1x hi");
    Refusal("send 0x10 hi");
    Refusal("reply abc hi");
}

TEST(CommandParserTest, MissingNumbersAreRefused) {
    EXPECT_NE(Refusal("send").find("INDEX"), std::string::npos);
    EXPECT_NE(Refusal("reply  ").find("ID"), std::string::npos);
}

TEST(CommandParserTest, MessageIdZeroNamesNoMessage) {
    Refusal("reply 0 yes");
    EXPECT_EQ(Parsed("send 0 yes").number, 0u);  // row 0 is a row
}

TEST(CommandParserTest, BareCommandsTakeNoArguments) {
    for (const char* line : {"list all", "connect now", "disconnect 1", "quit please"}) {
        Refusal(line);
    }
}

TEST(CommandParserTest, UnknownOrMisspelledCommandsAreRefusedWithTheCommandList) {
    const std::string error = Refusal("sned 0 hi");
    EXPECT_NE(error.find("sned"), std::string::npos);
    EXPECT_NE(error.find("send INDEX TEXT"), std::string::npos);
    Refusal("LIST");
    Refusal("exit");
    Refusal("\xFF\xFE");
}

TEST(CommandParserTest, LinesLongerThanTheLimitAreRefusedWhole) {
    const std::string atLimit = "send 0 " + std::string(kMaxCommandLineBytes - 7, ' ');
    ASSERT_EQ(atLimit.size(), kMaxCommandLineBytes);
    Refusal(atLimit);  // well-formed, but its text is far beyond 110 bytes
    EXPECT_NE(Refusal("list" + std::string(kMaxCommandLineBytes, ' ')).find("too long"),
              std::string::npos);
}

}  // namespace
}  // namespace parlon
