// RouteTable: the paths of messages in flight, so that their replies can find their way back.
//
// A record is made by every message this parlon writes, relays or receives, and removed when
// the reply passes. Records keep their insertion order; a lookup takes the first match. The
// table is bounded: when it is full, the oldest record goes first, so unanswered messages
// cannot grow memory without end. A record's masks and text go with it.
//
// THREAD SAFETY: not thread-safe; one thread uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <unordered_set>
#include <vector>

#include "common/text_field.h"
#include "common/wire_records.h"

namespace parlon {

// What this parlon was on the path of the message.
enum class RouteRole : uint8_t {
    Sender,     // wrote it: holds every mask and the text
    Relay,      // passed it on: holds the mask of its layer
    Addressee,  // received it: holds the mask of its layer, answers with WrapReply
};

struct RouteRecord {
    RouteRole role = RouteRole::Relay;
    PeerAddress prevAddress;        // none in the sender's record
    PeerAddress nextAddress;        // none in the addressee's record
    uint32_t prevMsgId = 0;         // id on the link from prevAddress; 0 in the sender's record
    uint32_t msgId = 0;             // id on the link to nextAddress; 0 in the addressee's record
    std::vector<uint8_t> masks;     // 112 bytes per mask: all of the path's at the sender
    std::optional<TextField> text;  // the sender's copy of the message
};

class RouteTable {
public:
    // REQUIRES: capacity > 0.
    explicit RouteTable(size_t capacity) noexcept : m_capacity(capacity) {}

    // Appends `record`, dropping the oldest record first when the table is full.
    void Add(RouteRecord record);

    // Whether a sender or relay record sent its message on to `to` with id `msgId`. A second
    // such record would make the replies of the two indistinguishable.
    bool IsOutgoingIdInUse(const PeerAddress& to, uint32_t msgId) const;

    // Removes and returns the first sender or relay record that sent its message on to `from`
    // with id `msgId`: the record that a reply from `from` with that id belongs to.
    std::optional<RouteRecord> TakeForReplyFrom(const PeerAddress& from, uint32_t msgId);

    // Removes and returns the first addressee record of the message that came in with id
    // `prevMsgId`: the record that the answer to that message belongs to.
    std::optional<RouteRecord> TakeAddresseeRecord(uint32_t prevMsgId);

    size_t Size() const noexcept { return m_records.size(); }

private:
    // Where a sender or relay record sent its message, and with which id.
    struct OutgoingLink {
        PeerAddress to;
        uint32_t msgId = 0;
        friend bool operator==(const OutgoingLink&, const OutgoingLink&) = default;
    };
    struct OutgoingLinkHash {
        size_t operator()(const OutgoingLink& link) const noexcept;
    };

    template <typename Matches>
    std::optional<RouteRecord> TakeFirst(Matches matches);
    void Forget(const RouteRecord& record);

    size_t m_capacity;
    std::deque<RouteRecord> m_records;
    // The links of the sender and relay records in m_records, so that a reply that matches
    // none, and the check of a new id, cost no walk through the table.
    std::unordered_multiset<OutgoingLink, OutgoingLinkHash> m_outgoingLinks;
};

}  // namespace parlon
