#include "center/held_replies.h"

#include <cassert>

namespace parlon {

size_t HeldReplies::CostOf(const ByteBuffer& encoding) const {
    return m_held.count(encoding.Data()) != 0 ? 0 : encoding.Length();
}

void HeldReplies::Hold(const ByteBuffer& encoding) {
    auto [found, added] = m_held.try_emplace(encoding.Data(), Holders{0, encoding.Length()});
    if (added) {
        m_heldBytes += encoding.Length();
    }
    ++found->second.replies;
}

void HeldReplies::Release(const ByteBuffer& encoding) {
    const auto found = m_held.find(encoding.Data());
    assert(found != m_held.end() && found->second.replies > 0);
    if (--found->second.replies == 0) {
        m_heldBytes -= found->second.bytes;
        m_held.erase(found);
    }
}

}  // namespace parlon
