#include "crypto/route_table.h"

#include <algorithm>
#include <functional>

namespace parlon {

size_t RouteTable::OutgoingLinkHash::operator()(const OutgoingLink& link) const noexcept {
    return std::hash<uint64_t>{}((uint64_t{link.to.ip} << 32) ^ (uint64_t{link.to.port} << 16) ^
                                 link.msgId);
}

void RouteTable::Add(RouteRecord record) {
    if (m_records.size() >= m_capacity) {
        Forget(m_records.front());
        m_records.pop_front();
    }
    if (record.role != RouteRole::Addressee) {
        m_outgoingLinks.insert({record.nextAddress, record.msgId});
    }
    m_records.push_back(std::move(record));
}

void RouteTable::Forget(const RouteRecord& record) {
    if (record.role != RouteRole::Addressee) {
        m_outgoingLinks.erase(m_outgoingLinks.find({record.nextAddress, record.msgId}));
    }
}

bool RouteTable::IsOutgoingIdInUse(const PeerAddress& to, uint32_t msgId) const {
    return m_outgoingLinks.contains({to, msgId});
}

template <typename Matches>
std::optional<RouteRecord> RouteTable::TakeFirst(Matches matches) {
    auto found = std::find_if(m_records.begin(), m_records.end(), matches);
    if (found == m_records.end()) {
        return std::nullopt;
    }
    Forget(*found);
    RouteRecord record = std::move(*found);
    m_records.erase(found);
    return record;
}

std::optional<RouteRecord> RouteTable::TakeForReplyFrom(const PeerAddress& from, uint32_t msgId) {
    if (!IsOutgoingIdInUse(from, msgId)) {
        return std::nullopt;
    }
    return TakeFirst([&](const RouteRecord& record) {
        return record.role != RouteRole::Addressee && record.msgId == msgId &&
               record.nextAddress == from;
    });
}

std::optional<RouteRecord> RouteTable::TakeAddresseeRecord(uint32_t prevMsgId) {
    return TakeFirst([&](const RouteRecord& record) {
        return record.role == RouteRole::Addressee && record.prevMsgId == prevMsgId;
    });
}

}  // namespace parlon
