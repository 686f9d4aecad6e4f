// The rules for what a user types into the own fields, shared by the window and the terminal:
// each returns the accepted value, or nullopt and the message to show.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace parlon {

inline constexpr const char* kNotAnIntegerMessage = "Please enter an integer.";
inline constexpr const char* kPortRangeMessage = "Please enter a port number from 1 to 65535.";
inline constexpr const char* kNicknameTooLongMessage = "Please enter no more than 12 characters.";

// A port: blanks around an optional sign and decimal digits; 1 to 65535.
std::optional<uint16_t> ParsePortField(std::string_view text, std::string& message);

// A nickname: valid UTF-8 of at most 12 bytes.
std::optional<std::string> ParseNicknameField(std::string_view text, std::string& message);

}  // namespace parlon
