#include "cli/command_parser.h"

#include <algorithm>
#include <charconv>

#include "common/text_field.h"
#include "common/utf8_text.h"

namespace parlon {

namespace {

constexpr std::string_view kBlanks = " \t";

ParsedCommand Refuse(std::string error) {
    return {false, {}, std::move(error)};
}

ParsedCommand Accept(Command command) {
    return {true, std::move(command), {}};
}

// Splits off the first word of `rest` (after any leading blanks); `rest` keeps what follows
// the word, starting at the blank after it.
std::string_view TakeWord(std::string_view& rest) {
    const size_t start = rest.find_first_not_of(kBlanks);
    if (start == std::string_view::npos) {
        rest = {};
        return {};
    }
    rest.remove_prefix(start);
    const size_t end = std::min(rest.find_first_of(kBlanks), rest.size());
    const std::string_view word = rest.substr(0, end);
    rest.remove_prefix(end);
    return word;
}

bool ParseNumber(std::string_view word, uint32_t& value) {
    if (word.empty() || word.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    return error == std::errc() && end == word.data() + word.size();
}

// "send INDEX TEXT" and "reply ID TEXT": a number, one blank, then the text as it stands.
ParsedCommand ParseNumberAndText(CommandKind kind, std::string_view name, std::string_view what,
                                 std::string_view rest) {
    const std::string usage = std::string(name) + " " + std::string(what) + " TEXT";
    const std::string_view word = TakeWord(rest);
    if (word.empty()) {
        return Refuse("missing " + std::string(what) + " (" + usage + ")");
    }
    uint32_t number = 0;
    if (!ParseNumber(word, number)) {
        return Refuse(std::string(what) + " is not a number from 0 to 4294967295: \"" +
                      std::string(word) + "\"");
    }
    if (kind == CommandKind::Reply && number == 0) {
        return Refuse("message id 0 names no message");
    }
    if (!rest.empty()) {
        rest.remove_prefix(1);  // the one blank between the number and the text
    }
    if (rest.find('\0') != std::string_view::npos) {
        return Refuse("the text holds a NUL byte");
    }
    if (!FitsUtf8Limit(rest, kMaxTextBytes)) {
        return Refuse("the text must be valid UTF-8 of at most " + std::to_string(kMaxTextBytes) +
                      " bytes (it has " + std::to_string(rest.size()) + ")");
    }
    return Accept({kind, number, std::string(rest)});
}

}  // namespace

ParsedCommand ParseCommand(std::string_view line) {
    if (line.size() > kMaxCommandLineBytes) {
        return Refuse("line too long (more than " + std::to_string(kMaxCommandLineBytes) +
                      " bytes)");
    }
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    std::string_view rest = line;
    const std::string_view name = TakeWord(rest);
    if (name.empty()) {
        return Accept({});
    }
    if (name == "send") {
        return ParseNumberAndText(CommandKind::Send, name, "INDEX", rest);
    }
    if (name == "reply") {
        return ParseNumberAndText(CommandKind::Reply, name, "ID", rest);
    }
    static constexpr struct {
        std::string_view name;
        CommandKind kind;
    } kBareCommands[] = {
        {"list", CommandKind::List},
        {"connect", CommandKind::Connect},
        {"disconnect", CommandKind::Disconnect},
        {"quit", CommandKind::Quit},
        {"ticks", CommandKind::Ticks},
    };
    for (const auto& bare : kBareCommands) {
        if (name == bare.name) {
            if (rest.find_first_not_of(kBlanks) != std::string_view::npos) {
                return Refuse(std::string(name) + " takes no arguments");
            }
            return Accept({bare.kind, 0, {}});
        }
    }
    return Refuse("unknown command \"" + DisplayText(name) +
                  "\" (commands: send INDEX TEXT, reply ID TEXT, list, connect, disconnect, quit, "
                  "ticks)");
}

}  // namespace parlon
