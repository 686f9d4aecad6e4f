#include "center/center_registry.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace parlon {

CenterRegistry::CenterRegistry(Millis expire, size_t maxEntries)
    : m_expire(expire), m_maxEntries(maxEntries) {
    assert(expire.count() > 0);
}

CenterRegistry::Outcome CenterRegistry::Register(const ParlonEntry& entry, Millis now) {
    if (const auto position = m_index.Find(entry.Address())) {
        ParlonEntry& listed = m_entries[*position];
        if (std::memcmp(&listed, &entry, sizeof entry) != 0) {
            listed = entry;
            ++m_revision;
        }
        m_renewedAt[*position] = now;
        return Outcome::Renewed;
    }
    if (m_entries.size() >= m_maxEntries) {
        return Outcome::Full;
    }
    m_index.Add(entry);
    m_entries.push_back(entry);
    m_renewedAt.push_back(now);
    ++m_revision;
    return Outcome::Added;
}

bool CenterRegistry::SignOff(const PeerAddress& address) {
    const auto position = m_index.Find(address);
    if (!position) {
        return false;
    }
    const auto index = static_cast<std::ptrdiff_t>(*position);
    m_entries.erase(m_entries.begin() + index);
    m_renewedAt.erase(m_renewedAt.begin() + index);
    m_index.Rebuild(m_entries);
    ++m_revision;
    return true;
}

std::vector<ParlonEntry> CenterRegistry::DropExpired(Millis now) {
    std::vector<ParlonEntry> dropped;
    size_t kept = 0;
    for (size_t index = 0; index < m_entries.size(); ++index) {
        if (now - m_renewedAt[index] >= m_expire) {
            dropped.push_back(m_entries[index]);
            continue;
        }
        m_entries[kept] = m_entries[index];
        m_renewedAt[kept] = m_renewedAt[index];
        ++kept;
    }
    if (!dropped.empty()) {
        m_entries.resize(kept);
        m_renewedAt.resize(kept);
        m_index.Rebuild(m_entries);
        ++m_revision;
    }
    return dropped;
}

bool CenterRegistry::WouldChange(const ParlonEntry& entry) const {
    const auto position = m_index.Find(entry.Address());
    return !position || std::memcmp(&m_entries[*position], &entry, sizeof entry) != 0;
}

std::optional<CenterRegistry::Millis> CenterRegistry::NextExpiry() const {
    if (m_renewedAt.empty()) {
        return std::nullopt;
    }
    return *std::min_element(m_renewedAt.begin(), m_renewedAt.end()) + m_expire;
}

}  // namespace parlon
