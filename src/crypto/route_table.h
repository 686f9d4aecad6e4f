// RouteTable: the paths of messages in flight, so that their replies can find their way back.
//
// A record is made by every message this parlon writes, relays or receives, and removed when
// the reply passes or when it expires: each record carries the moment after which its reply
// can no longer come. Records keep their insertion order; a lookup takes the first match.
//
// The table is bounded without letting anyone push a live record out: when it is full, the
// expired records go, and if none has expired the new record is refused. No previous hop may
// hold more than a quota of the records, so one source cannot fill the table against the
// others. A record's masks and text go with it.
//
// THREAD SAFETY: not thread-safe; one thread uses it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/text_field.h"
#include "common/wire_records.h"
#include "crypto/layer_decryptor.h"
#include "crypto/message_link.h"

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
    LayerPlaintext masks;           // 112 bytes per mask: all of the path's at the sender; wiped
    std::optional<TextField> text;  // the sender's copy of the message
};

class RouteTable {
  public:
    using Clock = std::chrono::steady_clock;

    // REQUIRES: capacity > 0, quotaPerSource > 0.
    RouteTable(size_t capacity, size_t quotaPerSource) noexcept
        : m_capacity(capacity), m_quotaPerSource(quotaPerSource) {}

    // Appends `record`, whose reply can come until `expiresAt`. Returns the record's serial
    // number, unique in the process and never 0, or nullopt (nothing added) when the table is
    // full of records that have not expired at `now`, or when the record's previous hop already
    // holds its quota of them.
    [[nodiscard]] std::optional<uint64_t> Add(RouteRecord record, Clock::time_point now,
                                              Clock::time_point expiresAt);

    // Whether a sender or relay record sent its message on to `to` with id `msgId`. A second
    // such record would make the replies of the two indistinguishable.
    bool IsOutgoingIdInUse(const PeerAddress& to, uint32_t msgId) const;

    // Removes and returns the first sender or relay record that sent its message on to `from`
    // with id `msgId`: the record that a reply from `from` with that id belongs to. An expired
    // record is removed without being returned.
    std::optional<RouteRecord> TakeForReplyFrom(const PeerAddress& from, uint32_t msgId,
                                                Clock::time_point now);

    // Removes and returns the addressee record with serial number `serial`: the record that
    // the answer to its message belongs to. An expired record is removed without being returned.
    std::optional<RouteRecord> TakeAddresseeRecord(uint64_t serial, Clock::time_point now);

    size_t Size() const noexcept { return m_entries.size(); }

  private:
    struct Entry {
        RouteRecord record;
        uint64_t serial = 0;
        Clock::time_point expiresAt;
    };
    struct MessageLinkHash {
        size_t operator()(const MessageLink& link) const noexcept;
    };
    struct AddressHash {
        size_t operator()(const PeerAddress& address) const noexcept;
    };

    template <typename Matches>
    std::optional<RouteRecord> TakeFirst(Matches matches, Clock::time_point now);
    void DropExpired(Clock::time_point now);
    void Forget(const RouteRecord& record);
    size_t HeldBy(const PeerAddress& source) const;

    size_t m_capacity;
    size_t m_quotaPerSource;
    std::deque<Entry> m_entries;
    // The links of the sender and relay records in m_entries, so that a reply that matches
    // none, and the check of a new id, cost no walk through the table.
    std::unordered_multiset<MessageLink, MessageLinkHash> m_outgoingLinks;
    // Records held per previous hop (none for this parlon's own messages).
    std::unordered_map<PeerAddress, size_t, AddressHash> m_heldBySource;
};

}  // namespace parlon
