#include "window/utf8_edit_limit.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "common/utf8_text.h"

namespace parlon {

namespace {

bool IsContinuationByte(char byte) noexcept {
    return (static_cast<uint8_t>(byte) & 0xC0) == 0x80;
}

}  // namespace

std::optional<LimitedEdit> LimitEdit(const QString& before, const QString& after, size_t maxBytes) {
    const std::string old = before.toStdString();
    const std::string now = after.toStdString();
    if (now.size() <= maxBytes) {
        return std::nullopt;
    }
    // The change replaced old[prefix, old.size() - suffix) by now[prefix, now.size() - suffix);
    // both ends are moved onto character boundaries.
    const size_t common = std::min(old.size(), now.size());
    size_t prefix = 0;
    while (prefix < common && old[prefix] == now[prefix]) {
        ++prefix;
    }
    while (prefix > 0 && prefix < now.size() && IsContinuationByte(now[prefix])) {
        --prefix;
    }
    size_t suffix = 0;
    while (suffix < common - prefix &&
           old[old.size() - 1 - suffix] == now[now.size() - 1 - suffix]) {
        ++suffix;
    }
    while (suffix > 0 && IsContinuationByte(now[now.size() - suffix])) {
        --suffix;
    }
    const size_t kept = prefix + suffix;
    const size_t room = maxBytes > kept ? maxBytes - kept : 0;
    const std::string_view inserted(now.data() + prefix, now.size() - kept);
    std::string head = now.substr(0, prefix);
    head.append(Utf8Prefix(inserted, room));
    const std::string text = head + now.substr(now.size() - suffix);
    if (text == now) {
        return std::nullopt;  // nothing was put in: a deletion from a text over the limit
    }
    return LimitedEdit{QString::fromStdString(text), QString::fromStdString(head).size()};
}

}  // namespace parlon
