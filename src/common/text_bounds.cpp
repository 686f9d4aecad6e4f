#include "common/text_bounds.h"

namespace parlon {

std::string_view TextUpToNul(std::string_view text) noexcept {
    return text.substr(0, text.find('\0'));
}

std::string_view TrimmedText(std::string_view text, std::string_view blanks) noexcept {
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace parlon
