// The settings reader: IniFile::Parse of any file content, then the lookups a parlon makes
// (LoadSettings' keys, with ParseIpv4 on the addresses) and a few that it does not. A text is
// never longer than asked for and is part of the file; a missing key gives the default, as a
// text and as a number.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/wire_records.h"
#include "fuzz_check.h"
#include "settings/ini_file.h"

using parlon::fuzz::FuzzCheck;

namespace {

struct Lookup {
    std::string_view section;
    std::string_view key;
};

constexpr Lookup kLookups[] = {
    {"Client Params", "Port Num"},
    {"Client Params", "IP Address"},
    {"Client Params", "Nickname"},
    {"Server Params", "Port Num"},
    {"Server Params", "IP Address"},
    {" client params ", "NICKNAME"},
    {"", ""},
    {"Client Params", ""},
};

// Two defaults that no file can hold both of: a key gives both back only when it is missing.
constexpr std::string_view kFirstDefault = "\x01missing";
constexpr std::string_view kSecondDefault = "\x02missing";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    const parlon::IniFile ini = parlon::IniFile::Parse(content);
    for (const Lookup& lookup : kLookups) {
        const std::string whole =
            ini.GetString(lookup.section, lookup.key, kFirstDefault, size + 16);
        const bool missing =
            whole == kFirstDefault &&
            ini.GetString(lookup.section, lookup.key, kSecondDefault, size + 16) == kSecondDefault;
        FuzzCheck(missing || content.find(whole) != std::string_view::npos,
                  "a value found is part of the file");

        const std::string text = ini.GetString(lookup.section, lookup.key, kFirstDefault);
        FuzzCheck(text.size() <= parlon::IniFile::kMaxTextChars, "a text is cut to its limit");
        FuzzCheck(whole.compare(0, text.size(), text) == 0,
                  "the cut text is the beginning of the whole one");
        (void)parlon::ParseIpv4(text);

        const int32_t number = ini.GetInt(lookup.section, lookup.key, 12345);
        FuzzCheck(!missing || number == 12345, "a missing key gives the default number");
    }
    return 0;
}
