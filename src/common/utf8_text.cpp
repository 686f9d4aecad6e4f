#include "common/utf8_text.h"

#include <algorithm>
#include <cstdint>

#include "common/text_bounds.h"

namespace parlon {

namespace {

// Length of the valid UTF-8 sequence at the start of `text`, or 0 when it is not valid
// (overlong forms, surrogates and code points above U+10FFFF are not valid).
size_t ValidSequenceLength(std::string_view text) noexcept {
    const auto byte = [&text](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(0);
    size_t length = 0;
    uint8_t low = 0x80;
    uint8_t high = 0xBF;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

}  // namespace

bool FitsUtf8Limit(std::string_view text, size_t maxBytes) noexcept {
    if (text.size() > maxBytes) {
        return false;
    }
    for (size_t at = 0; at < text.size();) {
        const size_t length = ValidSequenceLength(text.substr(at));
        if (length == 0) {
            return false;
        }
        at += length;
    }
    return true;
}

std::string_view Utf8Prefix(std::string_view text, size_t maxBytes) noexcept {
    if (text.size() <= maxBytes) {
        return text;
    }
    size_t end = maxBytes;
    // Step back over continuation bytes to the start of the character that would be split.
    while (end > 0 && (static_cast<uint8_t>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

std::string DisplayText(std::string_view bytes) {
    bytes = TextUpToNul(bytes);
    std::string shown;
    shown.reserve(bytes.size());
    for (size_t at = 0; at < bytes.size();) {
        const size_t length = ValidSequenceLength(bytes.substr(at));
        if (length == 0) {
            shown += "\xEF\xBF\xBD";
            ++at;
        } else {
            shown.append(bytes.substr(at, length));
            at += length;
        }
    }
    return shown;
}

std::string OneLineText(std::string_view text) {
    std::string line(text);
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = ' ';
        }
    }
    return DisplayText(line);
}

ByteBuffer QueuedText(std::string_view text) {
    ByteBuffer queued(static_cast<uint32_t>(text.size() + 1));
    std::copy(text.begin(), text.end(), queued.MutableData());
    return queued;
}

}  // namespace parlon
