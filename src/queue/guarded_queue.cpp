#include "queue/guarded_queue.h"

#include <cassert>

namespace parlon {

GuardedQueue g_incoming(kIncomingBounds);

bool GuardedQueue::Push(ByteBuffer block, const PeerAddress& source) {
    std::lock_guard lock(m_mutex);
    const size_t length = block.Length();
    if (m_closed || m_items.size() >= m_bounds.maxItems ||
        length > m_bounds.maxBytes - m_byteCount) {
        ++m_droppedCount;
        return false;
    }
    m_items.push_back({std::move(block), source});
    m_byteCount += length;
    return true;
}

void GuardedQueue::PopFront() {
    std::lock_guard lock(m_mutex);
    assert(!m_items.empty());
    m_byteCount -= m_items.front().bytes.Length();
    m_items.pop_front();
}

ByteBuffer GuardedQueue::Front() const {
    std::lock_guard lock(m_mutex);
    assert(!m_items.empty());
    return m_items.front().bytes;
}

bool GuardedQueue::IsEmpty() const {
    std::lock_guard lock(m_mutex);
    return m_items.empty();
}

size_t GuardedQueue::Size() const {
    std::lock_guard lock(m_mutex);
    return m_items.size();
}

size_t GuardedQueue::ByteCount() const {
    std::lock_guard lock(m_mutex);
    return m_byteCount;
}

size_t GuardedQueue::DroppedCount() const {
    std::lock_guard lock(m_mutex);
    return m_droppedCount;
}

std::optional<QueuedBlock> GuardedQueue::TakeFront() {
    std::lock_guard lock(m_mutex);
    if (m_items.empty()) {
        return std::nullopt;
    }
    QueuedBlock front = std::move(m_items.front());
    m_items.pop_front();
    m_byteCount -= front.bytes.Length();
    return front;
}

void GuardedQueue::Close() {
    std::deque<QueuedBlock> dropped;  // released after the lock
    std::lock_guard lock(m_mutex);
    m_closed = true;
    m_droppedCount += m_items.size();
    dropped.swap(m_items);
    m_byteCount = 0;
}

void GuardedQueue::Open() {
    std::lock_guard lock(m_mutex);
    m_closed = false;
}

}  // namespace parlon
