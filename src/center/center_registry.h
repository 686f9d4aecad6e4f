// CenterRegistry: the parlons registered at a center, in the order of their first
// registration, each dropped when it is not renewed in time.
//
// It has no clock of its own and no sockets: every call that depends on time is given the
// center's time, so tests drive it directly.
//
// THREAD SAFETY: none; the center's thread owns it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "center/listed_index.h"
#include "common/wire_records.h"

namespace parlon {

class CenterRegistry final {
  public:
    using Millis = std::chrono::milliseconds;  // the center's clock since it started

    enum class Outcome {
        Added,    // a new entry at the end of the list
        Renewed,  // an entry with this address and port was replaced in its place
        Full,     // new, but the list already holds its maximum: nothing changed
    };

    // REQUIRES: expire > 0.
    CenterRegistry(Millis expire, size_t maxEntries);

    // Adds `entry`, or replaces the entry with the same address and port (new key, new
    // nickname) keeping its place; either way the entry counts as renewed at `now`.
    Outcome Register(const ParlonEntry& entry, Millis now);

    // Removes the entry with this address and port. False when there was none.
    bool SignOff(const PeerAddress& address);

    // Removes and returns every entry last renewed `expire` or longer before `now`, in list order.
    std::vector<ParlonEntry> DropExpired(Millis now);

    bool IsListed(const PeerAddress& address) const { return m_index.IsListed(address); }
    size_t CountAtIp(uint32_t ip) const { return m_index.CountAtIp(ip); }
    // Whether Register(entry) would change the bytes of Entries(): a new entry, or a listed
    // one with another key or nickname.
    bool WouldChange(const ParlonEntry& entry) const;

    // When the next entry expires, or nullopt when the list is empty.
    std::optional<Millis> NextExpiry() const;

    // The entries in the order of their first registration.
    const std::vector<ParlonEntry>& Entries() const noexcept { return m_entries; }
    size_t Size() const noexcept { return m_entries.size(); }

    // Changes whenever the bytes of Entries() change (a renewal with the same entry leaves it
    // alone), so a copy of the list made at one revision stays right until the next.
    uint64_t Revision() const noexcept { return m_revision; }

  private:
    Millis m_expire;
    size_t m_maxEntries;
    // Kept as a plain vector of entries (with the renewal times beside it, same index) so a
    // reply is written straight from it.
    std::vector<ParlonEntry> m_entries;
    std::vector<Millis> m_renewedAt;
    ListedIndex m_index;  // of m_entries; rebuilt after entries were removed
    uint64_t m_revision = 0;
};

}  // namespace parlon
