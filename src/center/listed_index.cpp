#include "center/listed_index.h"

#include <cassert>

namespace parlon {

uint64_t ListedIndex::Key(const PeerAddress& address) noexcept {
    return (uint64_t{address.ip} << 16) | address.port;
}

void ListedIndex::Count(const ParlonEntry& entry) {
    ++m_countAtIp[uint32_t{entry.ip}];  // a copy: the packed field may be unaligned
}

void ListedIndex::Rebuild(std::span<const ParlonEntry> entries) {
    m_positions.clear();
    m_countAtIp.clear();
    for (size_t position = 0; position < entries.size(); ++position) {
        m_positions.emplace(Key(entries[position].Address()), position);
        Count(entries[position]);
    }
}

void ListedIndex::Add(const ParlonEntry& entry) {
    [[maybe_unused]] const bool added = m_positions.emplace(Key(entry.Address()), Size()).second;
    assert(added);
    Count(entry);
}

std::optional<size_t> ListedIndex::Find(const PeerAddress& address) const {
    const auto found = m_positions.find(Key(address));
    if (found == m_positions.end()) {
        return std::nullopt;
    }
    return found->second;
}

size_t ListedIndex::CountAtIp(uint32_t ip) const {
    const auto found = m_countAtIp.find(ip);
    return found == m_countAtIp.end() ? 0 : found->second;
}

}  // namespace parlon
