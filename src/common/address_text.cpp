#include "common/address_text.h"

#include <arpa/inet.h>

#include <charconv>
#include <string>

namespace parlon {

std::optional<uint32_t> ParseDottedIpv4(std::string_view text) {
    // inet_pton takes exactly four decimal octets without leading zeros, nothing else.
    in_addr address{};
    const std::string terminated(text);
    if (::inet_pton(AF_INET, terminated.c_str(), &address) != 1) {
        return std::nullopt;
    }
    return address.s_addr;
}

std::optional<uint16_t> ParsePort(std::string_view text) {
    // from_chars takes no blanks and no sign; a value above 65535 is out of range.
    uint16_t port = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, port);
    if (text.empty() || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return port;
}

std::optional<PeerAddress> ParseAddressAndPort(std::string_view text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    const std::optional<uint32_t> ip = ParseDottedIpv4(text.substr(0, colon));
    const std::optional<uint16_t> port = ParsePort(text.substr(colon + 1));
    if (!ip || !port) {
        return std::nullopt;
    }
    return PeerAddress{*ip, *port};
}

}  // namespace parlon
