#include "queue/guarded_queue.h"

#include <cassert>

namespace parlon {

GuardedQueue g_incoming;

void GuardedQueue::Push(ByteBuffer block) {
    std::lock_guard lock(m_mutex);
    m_items.push_back(std::move(block));
}

void GuardedQueue::PopFront() {
    std::lock_guard lock(m_mutex);
    assert(!m_items.empty());
    m_items.pop_front();
}

ByteBuffer GuardedQueue::Front() const {
    std::lock_guard lock(m_mutex);
    assert(!m_items.empty());
    return m_items.front();
}

bool GuardedQueue::IsEmpty() const {
    std::lock_guard lock(m_mutex);
    return m_items.empty();
}

size_t GuardedQueue::Size() const {
    std::lock_guard lock(m_mutex);
    return m_items.size();
}

std::optional<ByteBuffer> GuardedQueue::TakeFront() {
    std::lock_guard lock(m_mutex);
    if (m_items.empty()) {
        return std::nullopt;
    }
    ByteBuffer front = std::move(m_items.front());
    m_items.pop_front();
    return front;
}

}  // namespace parlon
