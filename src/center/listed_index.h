// ListedIndex: a lookup index over a list of parlon entries: the position of each entry by its
// address and port, and how many entries each IPv4 address has. The list itself lives with the
// caller; the index only mirrors it, so the caller rebuilds it after removing entries and adds to
// it when it appends one.
//
// Owns its maps and nothing else; keeps no reference to the entries it was built from.
//
// THREAD SAFETY: none; its owner's thread uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>

#include "common/wire_records.h"

namespace parlon {

class ListedIndex final {
  public:
    // Indexes `entries` anew, each at its position in the span. Of entries with the same address
    // and port the first keeps the position.
    void Rebuild(std::span<const ParlonEntry> entries);
    // Indexes `entry` at position Size(), as appended to the end of the list.
    // REQUIRES: its address and port are not indexed yet.
    void Add(const ParlonEntry& entry);

    // The position of the entry with this address and port, or nullopt when none is listed.
    std::optional<size_t> Find(const PeerAddress& address) const;
    bool IsListed(const PeerAddress& address) const { return Find(address).has_value(); }
    // How many indexed entries have the IPv4 address `ip` (network byte order).
    size_t CountAtIp(uint32_t ip) const;
    // How many addresses are indexed.
    size_t Size() const noexcept { return m_positions.size(); }

  private:
    static uint64_t Key(const PeerAddress& address) noexcept;
    void Count(const ParlonEntry& entry);

    std::unordered_map<uint64_t, size_t> m_positions;  // address and port -> position in the list
    std::unordered_map<uint32_t, size_t> m_countAtIp;  // IPv4 address -> entries with it
};

}  // namespace parlon
