#include "center/proxy_header.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "common/address_text.h"

namespace parlon {

namespace {

constexpr std::string_view kV1Prefix = "PROXY ";
constexpr std::array<uint8_t, 12> kV2Signature = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                                  0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr uint8_t kV2Version = 0x20;
constexpr uint8_t kV2Local = 0x00;
constexpr uint8_t kV2Proxy = 0x01;
constexpr uint8_t kV2TcpOverIpv4 = 0x11;

ProxyHeader Refused(std::string reason) {
    ProxyHeader header;
    header.kind = ProxyHeader::Kind::Refused;
    header.reason = std::move(reason);
    return header;
}

// Whether `received` agrees with `expected` as far as both go.
bool StartsLike(std::span<const uint8_t> received, std::span<const uint8_t> expected) {
    const size_t common = std::min(received.size(), expected.size());
    return std::equal(received.begin(), received.begin() + static_cast<ptrdiff_t>(common),
                      expected.begin());
}

ProxyHeader ReadVersion1(std::span<const uint8_t> received) {
    const std::string_view text(reinterpret_cast<const char*>(received.data()),
                                std::min(received.size(), kProxyV1MaxSize));
    const size_t end = text.find("\r\n");
    if (end == std::string_view::npos) {
        return received.size() >= kProxyV1MaxSize
                   ? Refused("PROXY line without its end within " +
                             std::to_string(kProxyV1MaxSize) + " bytes")
                   : ProxyHeader{};
    }
    std::vector<std::string_view> words;
    for (std::string_view rest = text.substr(0, end); !rest.empty();) {
        const size_t blank = rest.find(' ');
        words.push_back(rest.substr(0, blank));
        rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
    }
    ProxyHeader header;
    header.size = end + 2;
    if (words.size() >= 2 && words[1] == "UNKNOWN") {
        header.kind = ProxyHeader::Kind::Local;
        return header;
    }
    if (words.size() != 6 || words[1] != "TCP4") {
        return Refused(words.size() >= 2 && words[1] == "TCP6" ? "PROXY line of an IPv6 client"
                                                               : "malformed PROXY line");
    }
    const std::optional<uint32_t> client = ParseDottedIpv4(words[2]);
    const std::optional<uint16_t> port = ParsePort(words[4]);
    if (!client || !ParseDottedIpv4(words[3]) || !port || !ParsePort(words[5])) {
        return Refused("malformed PROXY line");
    }
    header.kind = ProxyHeader::Kind::Proxied;
    header.client = PeerAddress{*client, *port};
    return header;
}

ProxyHeader ReadVersion2(std::span<const uint8_t> received) {
    if (received.size() < kProxyV2FixedSize) {
        return {};
    }
    const uint8_t versionAndCommand = received[12];
    const uint8_t family = received[13];
    const size_t length = size_t{received[14]} << 8 | received[15];
    if ((versionAndCommand & 0xF0) != kV2Version) {
        return Refused("PROXY header of version " + std::to_string(versionAndCommand >> 4));
    }
    const uint8_t command = versionAndCommand & 0x0F;
    if (command != kV2Local && command != kV2Proxy) {
        return Refused("PROXY header with command " + std::to_string(command));
    }
    if (kProxyV2FixedSize + length > kProxyV2MaxSize) {
        return Refused("PROXY header of " + std::to_string(kProxyV2FixedSize + length) + " bytes");
    }
    if (received.size() < kProxyV2FixedSize + length) {
        return {};
    }
    ProxyHeader header;
    header.size = kProxyV2FixedSize + length;
    if (command == kV2Local) {
        header.kind = ProxyHeader::Kind::Local;
        return header;
    }
    if (family != kV2TcpOverIpv4) {
        return Refused("PROXY header of address family " + std::to_string(family));
    }
    if (length < kProxyV2Ipv4AddressesSize) {
        return Refused("PROXY header too short for its addresses");
    }
    const uint8_t* addresses = received.data() + kProxyV2FixedSize;
    header.kind = ProxyHeader::Kind::Proxied;
    std::memcpy(&header.client.ip, addresses, sizeof header.client.ip);
    header.client.port = static_cast<uint16_t>(addresses[8] << 8 | addresses[9]);
    return header;
}

}  // namespace

ProxyHeader ReadProxyHeader(std::span<const uint8_t> received) {
    const std::span<const uint8_t> v1Prefix(reinterpret_cast<const uint8_t*>(kV1Prefix.data()),
                                            kV1Prefix.size());
    if (received.empty()) {
        return {};
    }
    if (StartsLike(received, v1Prefix)) {
        return received.size() < v1Prefix.size() ? ProxyHeader{} : ReadVersion1(received);
    }
    if (StartsLike(received, kV2Signature)) {
        return ReadVersion2(received);
    }
    return Refused("no PROXY header");
}

}  // namespace parlon
