// The one reading of an IPv4 address typed by a user or given on a command line: "A.B.C.D",
// and "A.B.C.D:PORT" for a center's address. Only decimal digits, dots and the colon: no
// blanks, signs, leading zeros in an octet (which inet_addr would read as octal) or short forms.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/wire_records.h"

namespace parlon {

// Four decimal numbers 0..255 joined by dots; the result is in network byte order.
std::optional<uint32_t> ParseDottedIpv4(std::string_view text);

// A decimal port 0..65535: digits only.
std::optional<uint16_t> ParsePort(std::string_view text);

// A dotted IPv4 address, a colon and a decimal port 0..65535. Port 0 is for a listening address
// ("any free port"); where a peer is meant, the caller refuses it.
std::optional<PeerAddress> ParseAddressAndPort(std::string_view text);

}  // namespace parlon
