#include "cli/command_parser.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace parlon {
namespace {

using K = CommandKind;

TEST(CommandParserTest, EachCommandIsReadAndWrongLinesAreRefused) {
    const std::string longest(110, 'x');  // the text limit
    // Each line with the command it gives, or nullopt when it is refused.
    const std::pair<std::string, std::optional<Command>> cases[] = {
        {"reply 123 yes", Command{K::Reply, 123, "yes"}},
        {"list", Command{K::List, 0, {}}},
        {"\tquit \r", Command{K::Quit, 0, {}}},
        {"  \t \r", Command{}},
        // The text is everything after the one blank that follows the number, but a CR.
        {"send\t 2  two  words \r", Command{K::Send, 2, " two  words "}},
        {"send 4294967295 " + longest, Command{K::Send, 4294967295u, longest}},
        {"send 0 " + longest + "y", std::nullopt},
        {"send 0 " + longest.substr(1) + "\xC3\xA9", std::nullopt},  // 110 letters, 111 bytes
        {"send 0 caf\xC3", std::nullopt},
        {std::string("send 0 a\0b", 10), std::nullopt},
        {"send 4294967296 x", std::nullopt},
        {"reply 0 yes", std::nullopt},  // no message has id 0
        {"sned 0 hi", std::nullopt},
        {"list" + std::string(kMaxCommandLineBytes, ' '), std::nullopt},
    };
    for (const auto& [line, command] : cases) {
        const ParsedCommand parsed = ParseCommand(line);
        EXPECT_EQ(parsed.valid ? std::optional(parsed.command) : std::nullopt, command)
            << line << ": " << parsed.error;
        EXPECT_EQ(parsed.error.empty(), parsed.valid) << line;
    }
}

}  // namespace
}  // namespace parlon
