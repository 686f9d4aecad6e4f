// Helpers for the UTF-8 texts a user types and a peer sends: byte limits that never split a
// character, and display of received bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/byte_buffer.h"

namespace parlon {

// The longest nickname, in bytes (the nickname field of an entry).
inline constexpr size_t kMaxNicknameBytes = 12;

// True when `text` is valid UTF-8 of at most `maxBytes` bytes.
bool FitsUtf8Limit(std::string_view text, size_t maxBytes) noexcept;

// The longest prefix of `text` of at most `maxBytes` bytes that does not end inside a character.
std::string_view Utf8Prefix(std::string_view text, size_t maxBytes) noexcept;

// `bytes` up to the first NUL, with every invalid UTF-8 sequence replaced by U+FFFD.
std::string DisplayText(std::string_view bytes);

// `text` as it may go into one line of a log or of the event output, wherever it came from: every
// control character (NUL, line feed and the rest of C0, and DEL) becomes a blank and every
// invalid UTF-8 sequence U+FFFD, so that no text can break or forge a line.
std::string OneLineText(std::string_view text);

// A queued text: the characters of `text` and a terminating NUL.
ByteBuffer QueuedText(std::string_view text);

}  // namespace parlon
