// GuardedQueue: a first-in first-out queue of ByteBuffer handles with one mutex inside, each
// block with the address it came from. A queue may be bounded in items and bytes, and closed:
// what does not fit, or arrives while it is closed, is dropped and counted.
//
// THREAD SAFETY: every operation takes the queue's own lock, so any number of threads may
// push and drain at once. The lock is held only for the append or removal itself; no bytes
// are copied (elements are shared handles).
#pragma once

#include <cstddef>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>

#include "common/byte_buffer.h"
#include "common/wire_records.h"

namespace parlon {

struct QueueBounds {
    size_t maxItems = std::numeric_limits<size_t>::max();
    size_t maxBytes = std::numeric_limits<size_t>::max();
};

// The bounds of a queue of received packets: a flood waits here in bounded memory (two MiB,
// about 78 of the longest "F" packets or 1024 of the shortest) until the session drains it.
inline constexpr QueueBounds kIncomingBounds{.maxItems = 1024, .maxBytes = size_t{2} << 20};

// One block and where it came from: the sender's address for a received packet (its port is
// the connection's, not the sender's listening port), none for a block made here.
struct QueuedBlock {
    ByteBuffer bytes;
    PeerAddress source;
};

class GuardedQueue {
  public:
    explicit GuardedQueue(QueueBounds bounds = {}) noexcept : m_bounds(bounds) {}
    GuardedQueue(const GuardedQueue&) = delete;
    GuardedQueue& operator=(const GuardedQueue&) = delete;

    // Appends `block`; false (the block dropped and counted) when the queue is closed or the
    // block would take it past its bounds.
    bool Push(ByteBuffer block, const PeerAddress& source = {});
    // REQUIRES: !IsEmpty(). Removes the front element.
    void PopFront();
    // REQUIRES: !IsEmpty(). A copy of the front element's bytes.
    ByteBuffer Front() const;
    bool IsEmpty() const;
    size_t Size() const;
    // The bytes of all blocks held.
    size_t ByteCount() const;
    // Blocks that Push dropped so far.
    size_t DroppedCount() const;
    // Removes and returns the front element in one step, or nullopt when empty.
    std::optional<QueuedBlock> TakeFront();

    // Drops every block held, and every block pushed until Open.
    void Close();
    void Open();

  private:
    const QueueBounds m_bounds;
    mutable std::mutex m_mutex;
    // Guarded by m_mutex: the blocks, their bytes, the count of dropped ones, the closed state.
    std::deque<QueuedBlock> m_items;
    size_t m_byteCount = 0;
    size_t m_droppedCount = 0;
    bool m_closed = false;
};

// The process-wide queue from the peer listener to the session: constructed during static
// initialisation, destroyed at exit. A listener must be stopped before the process ends.
extern GuardedQueue g_incoming;

}  // namespace parlon
