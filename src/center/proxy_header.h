// ReadProxyHeader: the PROXY protocol header (version 1, text, or version 2, binary) that a
// TCP proxy in front of the center sends first on each connection, naming the client's own
// address; without it every connection would seem to come from the proxy.
//
//   v1: "PROXY TCP4 <client ip> <proxy ip> <client port> <proxy port>\r\n", at most 107 bytes
//       ("PROXY UNKNOWN ...\r\n" for the proxy's own connections).
//   v2: a 12-byte signature, version and command (0x21 PROXY, 0x20 LOCAL), family and protocol
//       (0x11 TCP over IPv4), the length of what follows (16 bits, big-endian), then for TCP
//       over IPv4: client ip, proxy ip, client port, proxy port (network order), then optional
//       TLVs, which are skipped.
//
// A pure function of the bytes received so far: it never reads past them, and the bytes after
// the header (the start of the request) are the caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "common/wire_records.h"

namespace parlon {

inline constexpr size_t kProxyV1MaxSize = 107;
inline constexpr size_t kProxyV2FixedSize = 16;
inline constexpr size_t kProxyV2Ipv4AddressesSize = 12;
// The longest v2 header taken: the addresses and a few TLVs.
inline constexpr size_t kProxyV2MaxSize = kProxyV2FixedSize + 512;
inline constexpr size_t kProxyHeaderMaxSize = kProxyV2MaxSize;
static_assert(kProxyV1MaxSize <= kProxyHeaderMaxSize);

struct ProxyHeader {
    enum class Kind {
        Incomplete,  // not whole yet: read on
        Proxied,     // a proxied connection of `client`
        Local,       // the proxy's own connection (a health check): no client address
        Refused,     // not a header this center takes: `reason` says why
    };

    Kind kind = Kind::Incomplete;
    size_t size = 0;     // the header's length in bytes, once whole
    PeerAddress client;  // Proxied
    std::string reason;  // Refused
};

ProxyHeader ReadProxyHeader(std::span<const uint8_t> received);

}  // namespace parlon
