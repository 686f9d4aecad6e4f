#include "crypto/route_table.h"

#include <algorithm>
#include <atomic>
#include <functional>

namespace parlon {

namespace {

// Serial numbers are shared by every table of the process, so that a number from a table that
// is gone (an earlier key pair) never names a record of another.
std::atomic<uint64_t> g_lastSerial{0};

uint64_t AddressKey(const PeerAddress& address) {
    return (uint64_t{address.ip} << 16) | address.port;
}

}  // namespace

size_t RouteTable::MessageLinkHash::operator()(const MessageLink& link) const noexcept {
    return std::hash<uint64_t>{}((AddressKey(link.to) << 15) ^ link.msgId);
}

size_t RouteTable::AddressHash::operator()(const PeerAddress& address) const noexcept {
    return std::hash<uint64_t>{}(AddressKey(address));
}

std::optional<uint64_t> RouteTable::Add(RouteRecord record, Clock::time_point now,
                                        Clock::time_point expiresAt) {
    if (m_entries.size() >= m_capacity || HeldBy(record.prevAddress) >= m_quotaPerSource) {
        DropExpired(now);
        if (m_entries.size() >= m_capacity || HeldBy(record.prevAddress) >= m_quotaPerSource) {
            return std::nullopt;
        }
    }
    if (record.role != RouteRole::Addressee) {
        m_outgoingLinks.insert({record.nextAddress, record.msgId});
    }
    ++m_heldBySource[record.prevAddress];
    const uint64_t serial = g_lastSerial.fetch_add(1, std::memory_order_relaxed) + 1;
    m_entries.push_back({std::move(record), serial, expiresAt});
    return serial;
}

size_t RouteTable::HeldBy(const PeerAddress& source) const {
    const auto held = m_heldBySource.find(source);
    return held == m_heldBySource.end() ? 0 : held->second;
}

void RouteTable::DropExpired(Clock::time_point now) {
    const auto expired =
        std::remove_if(m_entries.begin(), m_entries.end(), [&](const Entry& entry) {
            if (entry.expiresAt > now) {
                return false;
            }
            Forget(entry.record);
            return true;
        });
    m_entries.erase(expired, m_entries.end());
}

void RouteTable::Forget(const RouteRecord& record) {
    if (record.role != RouteRole::Addressee) {
        m_outgoingLinks.erase(m_outgoingLinks.find({record.nextAddress, record.msgId}));
    }
    const auto held = m_heldBySource.find(record.prevAddress);
    if (--held->second == 0) {
        m_heldBySource.erase(held);
    }
}

bool RouteTable::IsOutgoingIdInUse(const PeerAddress& to, uint32_t msgId) const {
    return m_outgoingLinks.contains({to, msgId});
}

template <typename Matches>
std::optional<RouteRecord> RouteTable::TakeFirst(Matches matches, Clock::time_point now) {
    auto found = std::find_if(m_entries.begin(), m_entries.end(), matches);
    if (found == m_entries.end()) {
        return std::nullopt;
    }
    Forget(found->record);
    std::optional<RouteRecord> record;
    if (found->expiresAt > now) {
        record = std::move(found->record);
    }
    m_entries.erase(found);
    return record;
}

std::optional<RouteRecord> RouteTable::TakeForReplyFrom(const PeerAddress& from, uint32_t msgId,
                                                        Clock::time_point now) {
    if (!IsOutgoingIdInUse(from, msgId)) {
        return std::nullopt;
    }
    return TakeFirst(
        [&](const Entry& entry) {
            return entry.record.role != RouteRole::Addressee && entry.record.msgId == msgId &&
                   entry.record.nextAddress == from;
        },
        now);
}

std::optional<RouteRecord> RouteTable::TakeAddresseeRecord(uint64_t serial, Clock::time_point now) {
    return TakeFirst(
        [&](const Entry& entry) {
            return entry.serial == serial && entry.record.role == RouteRole::Addressee;
        },
        now);
}

}  // namespace parlon
