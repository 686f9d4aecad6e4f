// TextField: the 112-byte field in which every message or reply text travels: at most 110
// bytes of UTF-8 text, a terminating NUL, then zero filler.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace parlon {

inline constexpr size_t kTextFieldSize = 112;
inline constexpr size_t kMaxTextBytes = 110;

using TextField = std::array<uint8_t, kTextFieldSize>;

// The field holding `bytes` (a queued text: its characters and a NUL), cut to 112 bytes,
// zero-filled after them.
TextField MakeTextField(std::span<const uint8_t> bytes) noexcept;

// The text of a field up to its first NUL (all 112 bytes when it holds none).
std::string_view FieldText(const TextField& field) noexcept;

}  // namespace parlon
