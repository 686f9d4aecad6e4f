// GuardedQueue: a first-in first-out queue of ByteBuffer handles with one mutex inside.
//
// THREAD SAFETY: every operation takes the queue's own lock, so any number of threads may
// push and drain at once. The lock is held only for the append or removal itself; no bytes
// are copied (elements are shared handles).
#pragma once

#include <deque>
#include <mutex>
#include <optional>

#include "common/byte_buffer.h"

namespace parlon {

class GuardedQueue {
public:
    GuardedQueue() = default;
    GuardedQueue(const GuardedQueue&) = delete;
    GuardedQueue& operator=(const GuardedQueue&) = delete;

    void Push(ByteBuffer block);
    // REQUIRES: !IsEmpty(). Removes the front element.
    void PopFront();
    // REQUIRES: !IsEmpty(). A copy of the front element.
    ByteBuffer Front() const;
    bool IsEmpty() const;
    size_t Size() const;
    // Removes and returns the front element in one step, or nullopt when empty.
    std::optional<ByteBuffer> TakeFront();

private:
    mutable std::mutex m_mutex;
    std::deque<ByteBuffer> m_items;  // guarded by m_mutex
};

// The process-wide queue from the peer listener to the session: constructed during static
// initialisation, destroyed at exit. A listener must be stopped before the process ends.
extern GuardedQueue g_incoming;

}  // namespace parlon
