// ReplyHandle: names the route record that a received message opened, so that the answer to
// that message goes back through that record and through no other that shares its message id.
//
// A local value, never on the wire; its holders (answer forms, pending answers, the reply queue)
// pass it on without looking into it. EncryptionContext makes the handles that name records,
// and their record numbers are unique in the process: a handle from an earlier key pair never
// names a record of a later one. A default handle names none. The message id of the link the
// message came in on rides along for display and the activity log; it plays no part in finding
// the record.
//
// THREAD SAFETY: a plain value.
#pragma once

#include <compare>
#include <cstdint>

namespace parlon {

class ReplyHandle {
  public:
    ReplyHandle() = default;
    ReplyHandle(uint64_t record, uint32_t messageId) noexcept
        : m_record(record), m_messageId(messageId) {}

    // The message id of the received message (for display and the log).
    uint32_t MessageId() const noexcept { return m_messageId; }
    // The number of the route record; 0 names none.
    uint64_t Record() const noexcept { return m_record; }
    bool NamesARecord() const noexcept { return m_record != 0; }

    friend auto operator<=>(const ReplyHandle&, const ReplyHandle&) = default;

  private:
    uint64_t m_record = 0;
    uint32_t m_messageId = 0;
};

}  // namespace parlon
