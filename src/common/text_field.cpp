#include "common/text_field.h"

#include <algorithm>

#include "common/text_bounds.h"

namespace parlon {

TextField MakeTextField(std::span<const uint8_t> bytes) noexcept {
    TextField field{};
    std::copy_n(bytes.begin(), std::min(bytes.size(), field.size()), field.begin());
    return field;
}

std::string_view FieldText(const TextField& field) noexcept {
    return TextUpToNul({reinterpret_cast<const char*>(field.data()), field.size()});
}

}  // namespace parlon
