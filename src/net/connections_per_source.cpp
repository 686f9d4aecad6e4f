#include "net/connections_per_source.h"

#include <cassert>

namespace parlon {

ConnectionsPerSource::Slot::Slot(Slot&& other) noexcept
    : m_owner(other.m_owner), m_source(other.m_source) {
    other.m_owner = nullptr;
}

ConnectionsPerSource::Slot& ConnectionsPerSource::Slot::operator=(Slot&& other) noexcept {
    if (this != &other) {
        Release();
        m_owner = other.m_owner;
        m_source = other.m_source;
        other.m_owner = nullptr;
    }
    return *this;
}

ConnectionsPerSource::Slot::~Slot() {
    Release();
}

void ConnectionsPerSource::Slot::Release() noexcept {
    if (m_owner != nullptr) {
        m_owner->Close(m_source);
        m_owner = nullptr;
    }
}

ConnectionsPerSource::ConnectionsPerSource(size_t maxPerSource) : m_maxPerSource(maxPerSource) {
    assert(maxPerSource > 0);
}

std::optional<ConnectionsPerSource::Slot> ConnectionsPerSource::TryOpen(uint32_t source) {
    size_t& open = m_open[source];
    if (open >= m_maxPerSource) {
        return std::nullopt;
    }
    ++open;
    return Slot(*this, source);
}

size_t ConnectionsPerSource::OpenFrom(uint32_t source) const {
    const auto found = m_open.find(source);
    return found == m_open.end() ? 0 : found->second;
}

void ConnectionsPerSource::Close(uint32_t source) {
    const auto found = m_open.find(source);
    assert(found != m_open.end() && found->second > 0);
    if (--found->second == 0) {
        m_open.erase(found);  // the map holds only the sources that are connected now
    }
}

}  // namespace parlon
