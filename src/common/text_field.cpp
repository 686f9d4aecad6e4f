#include "common/text_field.h"

#include <algorithm>
#include <cstring>

namespace parlon {

TextField MakeTextField(std::span<const uint8_t> bytes) noexcept {
    TextField field{};
    std::copy_n(bytes.begin(), std::min(bytes.size(), field.size()), field.begin());
    return field;
}

std::string_view FieldText(const TextField& field) noexcept {
    const auto* chars = reinterpret_cast<const char*>(field.data());
    const void* nul = std::memchr(chars, 0, field.size());
    return {chars, nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - chars)
                                  : field.size()};
}

}  // namespace parlon
