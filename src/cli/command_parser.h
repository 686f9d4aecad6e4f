// The commands of the headless node, one a line on standard input:
//
//   send INDEX TEXT   compose TEXT to row INDEX of the list and press OK
//   reply ID TEXT     type TEXT into the reply box of the pending answer to message ID
//   list              show the list again
//   connect           press Connect
//   disconnect        press Disconnect
//   quit              press Exit
//   ticks             show the longest poll tick since the last `ticks` (or the start)
//
// Words are separated by blanks (spaces or tabs). TEXT is everything after the one blank that
// follows INDEX or ID, taken as it stands (inner and trailing blanks included; it may be empty);
// it must be valid UTF-8 of at most 110 bytes without NUL bytes. A trailing carriage return is
// ignored, so lines ending in CR LF read like lines ending in LF.
//
// ParseCommand is a pure function of its input: it checks the form of a line, not whether the
// row or the message exists (that is the node's business).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace parlon {

enum class CommandKind {
    None,  // a blank line: nothing to do
    Send,
    Reply,
    List,
    Connect,
    Disconnect,
    Quit,
    Ticks,
};

struct Command {
    CommandKind kind = CommandKind::None;
    uint32_t number = 0;  // Send: the row; Reply: the message id
    std::string text;     // Send, Reply

    friend bool operator==(const Command&, const Command&) = default;
};

struct ParsedCommand {
    bool valid = false;
    Command command;    // when valid
    std::string error;  // when not valid: what is wrong, for the user
};

// Lines longer than this are refused whole (no command needs more).
inline constexpr size_t kMaxCommandLineBytes = 1024;

ParsedCommand ParseCommand(std::string_view line);

}  // namespace parlon
