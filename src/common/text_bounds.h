// Where a text ends: at its first NUL (fixed fields and queued texts carry one), or short of the
// blanks around it (typed values and settings lines). Both return a view into `text`.
#pragma once

#include <string_view>

namespace parlon {

// The blanks of a typed number field: blank and tab.
inline constexpr std::string_view kBlankAndTab = " \t";
// Every ASCII white-space character, so that a line ending in CR LF loses its CR too.
inline constexpr std::string_view kAsciiWhiteSpace = " \t\r\n\f\v";

// `text` up to (not including) its first NUL, or all of it when it holds none.
std::string_view TextUpToNul(std::string_view text) noexcept;

// `text` without the characters of `blanks` at its start and end.
std::string_view TrimmedText(std::string_view text, std::string_view blanks) noexcept;

}  // namespace parlon
