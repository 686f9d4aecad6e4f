// The fixed records that cross the wire: PeerAddress, ParlonEntry, CenterSchedule.
//
// Each record is a packed plain structure whose bytes are the same in memory and on the wire:
// integers are little-endian (the host is required to be little-endian), IPv4 addresses are
// kept as their four octets in network order (the value inet_addr() returns).
//
//   PeerAddress (6):     ip[4] (network order) | port[2] (LE)
//   ParlonEntry (417):   ip[4] | port[2] | publicKey[399] (text + NUL) | nickname[12] (no NUL if full)
//   CenterSchedule (24): hopCount | centerTime | pollPeriod | replyTime | registerPeriod | switchTime
//                        (six uint32 LE, times in milliseconds)
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace parlon {

static_assert(std::endian::native == std::endian::little,
              "wire records are read and written as the host's own bytes");

inline constexpr size_t kIpv4Size = 4;
inline constexpr size_t kPortSize = 2;
inline constexpr size_t kPeerAddressSize = kIpv4Size + kPortSize;
inline constexpr size_t kPublicKeyFieldSize = 399;
inline constexpr size_t kNicknameFieldSize = 12;
inline constexpr size_t kParlonEntrySize = kPeerAddressSize + kPublicKeyFieldSize + kNicknameFieldSize;
inline constexpr size_t kCenterScheduleSize = 6 * sizeof(uint32_t);

#pragma pack(push, 1)

struct PeerAddress {
    uint32_t ip = 0;    // network byte order
    uint16_t port = 0;  // host (little-endian) order

    // 0.0.0.0 port 0: "nobody".
    bool IsNone() const noexcept { return ip == 0 && port == 0; }
    // Address and port both set: somebody a connection can reach. An address with only one of
    // them set (0.0.0.0 with a port, or a port of 0) is neither somebody nor "none".
    bool IsComplete() const noexcept { return ip != 0 && port != 0; }
    // Dotted decimal text of the address, as inet_ntoa writes it.
    std::string IpText() const;

    friend bool operator==(const PeerAddress&, const PeerAddress&) = default;
};

struct ParlonEntry {
    uint32_t ip = 0;    // network byte order
    uint16_t port = 0;  // host (little-endian) order
    char publicKey[kPublicKeyFieldSize] = {};
    char nickname[kNicknameFieldSize] = {};

    PeerAddress Address() const noexcept { return {ip, port}; }
    // The key text up to its NUL (at most 399 bytes).
    std::string_view PublicKeyText() const noexcept;
    // The nickname up to its NUL (at most 12 bytes).
    std::string_view NicknameText() const noexcept;
    // Stores the first 12 bytes of `nickname`, zero-filling the rest of the field.
    void SetNickname(std::string_view nickname) noexcept;
    // Stores `key` and a NUL, zero-filling the rest. REQUIRES: key.size() < 399.
    void SetPublicKey(std::string_view key) noexcept;
};

#pragma pack(pop)

// Six 32-bit words have no padding between them: this record needs no packing, and keeps the
// natural alignment of its words.
struct CenterSchedule {
    uint32_t hopCount = 0;
    uint32_t centerTime = 0;
    uint32_t pollPeriod = 0;
    uint32_t replyTime = 0;
    uint32_t registerPeriod = 0;
    uint32_t switchTime = 0;

    friend bool operator==(const CenterSchedule&, const CenterSchedule&) = default;
};

static_assert(sizeof(PeerAddress) == kPeerAddressSize);
static_assert(offsetof(PeerAddress, port) == kIpv4Size);

static_assert(sizeof(ParlonEntry) == kParlonEntrySize && kParlonEntrySize == 417);
static_assert(offsetof(ParlonEntry, port) == 4);
static_assert(offsetof(ParlonEntry, publicKey) == kPeerAddressSize);
static_assert(offsetof(ParlonEntry, nickname) == 405);

static_assert(sizeof(CenterSchedule) == kCenterScheduleSize && kCenterScheduleSize == 24);
static_assert(offsetof(CenterSchedule, hopCount) == 0);
static_assert(offsetof(CenterSchedule, centerTime) == 4);
static_assert(offsetof(CenterSchedule, pollPeriod) == 8);
static_assert(offsetof(CenterSchedule, replyTime) == 12);
static_assert(offsetof(CenterSchedule, registerPeriod) == 16);
static_assert(offsetof(CenterSchedule, switchTime) == 20);

// Parses a dotted IPv4 text the way inet_addr does; an unparsable text gives 255.255.255.255.
uint32_t ParseIpv4(const std::string& text) noexcept;

}  // namespace parlon
