// Conversions between the wire's PeerAddress and Asio's TCP endpoint.
//
// A PeerAddress keeps the IPv4 octets in network order (first octet first in memory) and the
// port in host order; an Asio address_v4 is built from those octets directly.
#pragma once

#include <asio/ip/tcp.hpp>
#include <cstring>

#include "common/wire_records.h"

namespace parlon {

inline asio::ip::tcp::endpoint ToEndpoint(const PeerAddress& address) {
    asio::ip::address_v4::bytes_type octets{};
    static_assert(sizeof octets == sizeof address.ip);
    std::memcpy(octets.data(), &address.ip, sizeof address.ip);
    return {asio::ip::address_v4(octets), address.port};
}

// REQUIRES: an IPv4 endpoint.
inline PeerAddress ToPeerAddress(const asio::ip::tcp::endpoint& endpoint) {
    PeerAddress address;
    const asio::ip::address_v4::bytes_type octets = endpoint.address().to_v4().to_bytes();
    std::memcpy(&address.ip, octets.data(), sizeof address.ip);
    address.port = endpoint.port();
    return address;
}

// "a.b.c.d:port", for log lines and error texts.
inline std::string EndpointText(const PeerAddress& address) {
    return address.IpText() + ":" + std::to_string(address.port);
}

}  // namespace parlon
