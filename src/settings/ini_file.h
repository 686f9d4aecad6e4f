// IniFile: a read-only view of one initialisation file ("[Section]" headers, "key=value" lines),
// with the lookup rules of the classic profile functions:
//   - section and key names match without regard to (ASCII) case, after trimming blanks;
//   - a text value is what follows the first '=', trimmed of blanks and tabs, with one pair of
//     matching surrounding quotes removed, cut to `maxChars` bytes;
//   - an integer is read from an optional sign and the leading decimal digits (none gives 0;
//     an empty value gives the default), wrapping modulo 2^32;
//   - the first occurrence of a key in a section wins; lines starting with ';' or '#' and
//     lines without '=' are ignored;
//   - a missing file, section or key gives the default.
//
// THREAD SAFETY: immutable after Load; may be read from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace parlon {

class IniFile {
public:
    // The longest text a value may have: the classic reader fills a 20-character buffer.
    static constexpr size_t kMaxTextChars = 19;

    // Reads the file; a file that cannot be read gives an empty IniFile.
    static IniFile Load(const std::filesystem::path& path);
    static IniFile Parse(std::string_view content);

    std::string GetString(std::string_view section, std::string_view key,
                          std::string_view defaultValue, size_t maxChars = kMaxTextChars) const;
    int32_t GetInt(std::string_view section, std::string_view key, int32_t defaultValue) const;

private:
    // (lower-cased section, lower-cased key) -> raw trimmed value
    std::map<std::pair<std::string, std::string>, std::string> m_values;
};

}  // namespace parlon
