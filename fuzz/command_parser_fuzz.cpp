// The headless node's command parser: ParseCommand of any line typed on standard input. A line
// is either a command or an error for the user, never both; the text of a command fits a text
// field; a refused line says why.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cli/command_parser.h"
#include "common/text_field.h"
#include "common/utf8_text.h"
#include "fuzz_check.h"

using parlon::fuzz::FuzzCheck;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const parlon::ParsedCommand parsed = parlon::ParseCommand(line);
    if (!parsed.valid) {
        FuzzCheck(!parsed.error.empty(), "a refused line says why");
        FuzzCheck(parsed.command == parlon::Command{}, "a refused line carries no command");
        return 0;
    }
    FuzzCheck(parsed.error.empty(), "an accepted line carries no error");
    FuzzCheck(size <= parlon::kMaxCommandLineBytes, "an accepted line is within the limit");
    const parlon::Command& command = parsed.command;
    const bool hasText =
        command.kind == parlon::CommandKind::Send || command.kind == parlon::CommandKind::Reply;
    FuzzCheck(hasText || (command.text.empty() && command.number == 0),
              "only send and reply carry a number and a text");
    FuzzCheck(parlon::FitsUtf8Limit(command.text, parlon::kMaxTextBytes),
              "the text fits a text field as valid UTF-8");
    FuzzCheck(command.text.find('\0') == std::string::npos, "the text holds no NUL");
    FuzzCheck(command.kind != parlon::CommandKind::Reply || command.number != 0,
              "a reply names a message");
    FuzzCheck(line.find(command.text) != std::string_view::npos, "the text is part of the line");
    return 0;
}
