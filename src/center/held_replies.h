// HeldReplies: the bytes that a center's replies not yet written keep alive. Replies share one
// encoding of the list until it changes, so a list is counted once however many replies hold
// it; each change that slow readers hold back adds a whole list.
//
// The center refuses what would take the count past its bound, so a crowd of clients that
// never read their replies cannot make it hold a copy of the list each.
//
// THREAD SAFETY: none; the center's thread owns it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "common/byte_buffer.h"

namespace parlon {

class HeldReplies {
  public:
    // What holding `encoding` in one more reply would add to HeldBytes().
    size_t CostOf(const ByteBuffer& encoding) const;
    // One more reply holds `encoding` until Release(encoding).
    void Hold(const ByteBuffer& encoding);
    // REQUIRES: a Hold(encoding) not yet released.
    void Release(const ByteBuffer& encoding);

    size_t HeldBytes() const noexcept { return m_heldBytes; }

  private:
    struct Holders {
        size_t replies;
        size_t bytes;
    };
    // By the address of the shared bytes, which stays the same while any handle holds them.
    std::unordered_map<const uint8_t*, Holders> m_held;
    size_t m_heldBytes = 0;
};

}  // namespace parlon
