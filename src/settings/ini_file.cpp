#include "settings/ini_file.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "common/text_bounds.h"

namespace parlon {

namespace {

std::string Lower(std::string_view text) {
    std::string lower(TrimmedText(text, kAsciiWhiteSpace));
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return lower;
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

}  // namespace

IniFile IniFile::Load(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return {};
    }
    std::ostringstream content;
    content << file.rdbuf();
    return Parse(content.str());
}

IniFile IniFile::Parse(std::string_view content) {
    IniFile ini;
    std::string section;
    bool inSection = false;
    while (!content.empty()) {
        const size_t end = content.find('\n');
        std::string_view line = TrimmedText(content.substr(0, end), kAsciiWhiteSpace);
        content = end == std::string_view::npos ? std::string_view{} : content.substr(end + 1);

        if (line.empty() || line.front() == ';' || line.front() == '#') {
            continue;
        }
        if (line.front() == '[') {
            const size_t close = line.find(']');
            inSection = close != std::string_view::npos;
            if (inSection) {
                section = Lower(line.substr(1, close - 1));
            }
            continue;
        }
        const size_t equals = line.find('=');
        if (!inSection || equals == std::string_view::npos) {
            continue;
        }
        // emplace keeps the first occurrence of a key.
        ini.m_values.emplace(std::pair{section, Lower(line.substr(0, equals))},
                             std::string(TrimmedText(line.substr(equals + 1), kAsciiWhiteSpace)));
    }
    return ini;
}

std::string IniFile::GetString(std::string_view section, std::string_view key,
                               std::string_view defaultValue, size_t maxChars) const {
    const auto found = m_values.find({Lower(section), Lower(key)});
    std::string_view value = found != m_values.end() ? Unquote(found->second) : defaultValue;
    return std::string(value.substr(0, std::min(value.size(), maxChars)));
}

int32_t IniFile::GetInt(std::string_view section, std::string_view key,
                        int32_t defaultValue) const {
    const auto found = m_values.find({Lower(section), Lower(key)});
    if (found == m_values.end() || found->second.empty()) {
        return defaultValue;
    }
    std::string_view value = found->second;
    bool negative = false;
    if (value.front() == '-' || value.front() == '+') {
        negative = value.front() == '-';
        value.remove_prefix(1);
    }
    uint32_t result = 0;
    for (char c : value) {
        if (c < '0' || c > '9') {
            break;
        }
        result = result * 10u + static_cast<uint32_t>(c - '0');
    }
    return static_cast<int32_t>(negative ? 0u - result : result);
}

}  // namespace parlon
