// MemoryRegistryStore: the registry of a center that stands alone, kept in its own memory (a
// CenterRegistry) on the steady clock since the store was made.
//
// THREAD SAFETY: none; the center's thread owns it.
#pragma once

#include <chrono>
#include <cstddef>

#include "center/center_registry.h"
#include "center/registry_store.h"

namespace parlon {

class MemoryRegistryStore final : public RegistryStore {
  public:
    // REQUIRES: expire > 0.
    MemoryRegistryStore(Millis expire, size_t maxEntries);

    Millis Now() const override;
    Change Register(const ParlonEntry& entry, Millis now) override;
    Change SignOff(const PeerAddress& address) override;
    Change DropExpired(Millis now) override;
    std::optional<Millis> NextExpiry() const override { return m_registry.NextExpiry(); }
    const ByteBuffer& ListedBytes() const override;
    bool IsListed(const PeerAddress& address) const override {
        return m_registry.IsListed(address);
    }
    size_t CountAtIp(uint32_t ip) const override { return m_registry.CountAtIp(ip); }
    bool WouldChange(const ParlonEntry& entry) const override {
        return m_registry.WouldChange(entry);
    }
    size_t ListedCount() const override { return m_registry.Size(); }

  private:
    const std::chrono::steady_clock::time_point m_start;
    CenterRegistry m_registry;
    // The entries as reply bytes, copied only when the list has changed (a renewal with the
    // same entry, the common case, leaves the copy alone).
    mutable ByteBuffer m_listedBytes;
    mutable std::optional<uint64_t> m_listedRevision;
};

}  // namespace parlon
