#include "center/center_registry.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace parlon {

CenterRegistry::CenterRegistry(Millis expire, size_t maxEntries)
    : m_expire(expire), m_maxEntries(maxEntries) {
    assert(expire.count() > 0);
}

uint64_t CenterRegistry::Key(const PeerAddress& address) noexcept {
    return (uint64_t{address.ip} << 16) | address.port;
}

CenterRegistry::Outcome CenterRegistry::Register(const ParlonEntry& entry, Millis now) {
    const auto found = m_positions.find(Key(entry.Address()));
    if (found != m_positions.end()) {
        ParlonEntry& listed = m_entries[found->second];
        if (std::memcmp(&listed, &entry, sizeof entry) != 0) {
            listed = entry;
            ++m_revision;
        }
        m_renewedAt[found->second] = now;
        return Outcome::Renewed;
    }
    if (m_entries.size() >= m_maxEntries) {
        return Outcome::Full;
    }
    m_positions.emplace(Key(entry.Address()), m_entries.size());
    ++m_countAtIp[uint32_t{entry.ip}];  // a copy: the packed field may be unaligned
    m_entries.push_back(entry);
    m_renewedAt.push_back(now);
    ++m_revision;
    return Outcome::Added;
}

bool CenterRegistry::SignOff(const PeerAddress& address) {
    const auto found = m_positions.find(Key(address));
    if (found == m_positions.end()) {
        return false;
    }
    const auto index = static_cast<std::ptrdiff_t>(found->second);
    m_entries.erase(m_entries.begin() + index);
    m_renewedAt.erase(m_renewedAt.begin() + index);
    Reindex();
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
        Reindex();
        ++m_revision;
    }
    return dropped;
}

bool CenterRegistry::IsListed(const PeerAddress& address) const {
    return m_positions.count(Key(address)) != 0;
}

size_t CenterRegistry::CountAtIp(uint32_t ip) const {
    const auto found = m_countAtIp.find(ip);
    return found == m_countAtIp.end() ? 0 : found->second;
}

bool CenterRegistry::WouldChange(const ParlonEntry& entry) const {
    const auto found = m_positions.find(Key(entry.Address()));
    return found == m_positions.end() ||
           std::memcmp(&m_entries[found->second], &entry, sizeof entry) != 0;
}

std::optional<CenterRegistry::Millis> CenterRegistry::NextExpiry() const {
    if (m_renewedAt.empty()) {
        return std::nullopt;
    }
    return *std::min_element(m_renewedAt.begin(), m_renewedAt.end()) + m_expire;
}

void CenterRegistry::Reindex() {
    m_positions.clear();
    m_countAtIp.clear();
    for (size_t index = 0; index < m_entries.size(); ++index) {
        m_positions.emplace(Key(m_entries[index].Address()), index);
        ++m_countAtIp[uint32_t{m_entries[index].ip}];
    }
}

}  // namespace parlon
