#include "center/memory_registry_store.h"

#include "net/wire_format.h"

namespace parlon {

MemoryRegistryStore::MemoryRegistryStore(Millis expire, size_t maxEntries)
    : m_start(std::chrono::steady_clock::now()), m_registry(expire, maxEntries) {}

RegistryStore::Millis MemoryRegistryStore::Now() const {
    return std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - m_start);
}

RegistryStore::Change MemoryRegistryStore::Register(const ParlonEntry& entry, Millis now) {
    Change change;
    change.expired = m_registry.DropExpired(now);
    switch (m_registry.Register(entry, now)) {
        case CenterRegistry::Outcome::Added:
            change.outcome = Outcome::Added;
            break;
        case CenterRegistry::Outcome::Renewed:
            change.outcome = Outcome::Renewed;
            break;
        case CenterRegistry::Outcome::Full:
            change.outcome = Outcome::Full;
            break;
    }
    change.listed = m_registry.Size();
    return change;
}

RegistryStore::Change MemoryRegistryStore::SignOff(const PeerAddress& address) {
    Change change;
    change.outcome = m_registry.SignOff(address) ? Outcome::SignedOff : Outcome::NotListed;
    change.listed = m_registry.Size();
    return change;
}

RegistryStore::Change MemoryRegistryStore::DropExpired(Millis now) {
    Change change;
    change.outcome = Outcome::Swept;
    change.expired = m_registry.DropExpired(now);
    change.listed = m_registry.Size();
    return change;
}

const ByteBuffer& MemoryRegistryStore::ListedBytes() const {
    if (m_listedRevision != m_registry.Revision()) {
        const std::vector<ParlonEntry>& entries = m_registry.Entries();
        m_listedBytes =
            ByteBuffer(entries.data(), static_cast<uint32_t>(entries.size() * kParlonEntrySize));
        m_listedRevision = m_registry.Revision();
    }
    return m_listedBytes;
}

}  // namespace parlon
