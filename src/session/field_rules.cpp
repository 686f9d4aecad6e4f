#include "session/field_rules.h"

#include "common/text_bounds.h"
#include "common/utf8_text.h"

namespace parlon {

std::optional<uint16_t> ParsePortField(std::string_view text, std::string& message) {
    std::string_view digits = TrimmedText(text, kBlankAndTab);
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

}  // namespace parlon
