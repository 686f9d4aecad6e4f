#include "session/field_rules.h"

#include <arpa/inet.h>

#include "common/utf8_text.h"

namespace parlon {

namespace {

std::string_view TrimBlanks(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::optional<uint16_t> ParsePortField(std::string_view text, std::string& message) {
    std::string_view digits = TrimBlanks(text);
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
        message = kNotAnIntegerMessage;
        return std::nullopt;
    }
    uint32_t value = 0;
    for (char digit : digits) {
        value = value * 10u + static_cast<uint32_t>(digit - '0');
        if (value > 65535) {
            break;
        }
    }
    if (negative || value < 1 || value > 65535) {
        message = kPortRangeMessage;
        return std::nullopt;
    }
    return static_cast<uint16_t>(value);
}

std::optional<std::string> ParseNicknameField(std::string_view text, std::string& message) {
    if (!FitsUtf8Limit(text, kMaxNicknameBytes)) {
        message = kNicknameTooLongMessage;
        return std::nullopt;
    }
    return std::string(text);
}

std::optional<uint32_t> ParseIpv4Field(std::string_view text) {
    in_addr address{};
    const std::string copy(text);
    if (::inet_pton(AF_INET, copy.c_str(), &address) != 1) {
        return std::nullopt;
    }
    return address.s_addr;
}

}  // namespace parlon
