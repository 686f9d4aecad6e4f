#include "crypto/opened_layers.h"

#include <cryptopp/sha.h>

#include <cassert>
#include <cstring>

namespace parlon {

OpenedLayers::Digest OpenedLayers::DigestOf(std::span<const uint8_t> encryptedLayer) {
    std::array<uint8_t, CryptoPP::SHA256::DIGESTSIZE> full;
    CryptoPP::SHA256().CalculateDigest(full.data(), encryptedLayer.data(), encryptedLayer.size());
    Digest digest;
    std::memcpy(digest.data(), full.data(), digest.size());
    return digest;
}

size_t OpenedLayers::HomeSlot(const Digest& digest) const noexcept {
    // A SHA-256 digest is spread evenly already: its first bytes are the hash.
    uint64_t hash = 0;
    std::memcpy(&hash, digest.data(), sizeof hash);
    return static_cast<size_t>(hash) & (m_index.size() - 1);
}

size_t OpenedLayers::FindSlot(const Digest& digest) const noexcept {
    const size_t mask = m_index.size() - 1;
    size_t slot = HomeSlot(digest);
    while (m_index[slot] != 0 && m_digests[m_index[slot] - 1] != digest) {
        slot = (slot + 1) & mask;
    }
    return slot;
}

bool OpenedLayers::Contains(const Digest& digest) const noexcept {
    return m_index[FindSlot(digest)] != 0;
}

void OpenedLayers::Insert(const Digest& digest) {
    assert(!Contains(digest));
    if (m_size == kCapacity) {
        Erase(FindSlot(m_digests[m_oldest]));
        m_digests[m_oldest] = digest;
        m_index[FindSlot(digest)] = static_cast<uint32_t>(m_oldest + 1);
        m_oldest = (m_oldest + 1) % kCapacity;
        return;
    }
    if (2 * (m_size + 1) > m_index.size()) {
        Grow();
    }
    m_digests.push_back(digest);
    m_index[FindSlot(digest)] = static_cast<uint32_t>(m_digests.size());
    ++m_size;
}

// Empties `slot` and moves later entries of its probe run back, so that every entry stays
// reachable from its home slot without gaps.
void OpenedLayers::Erase(size_t slot) noexcept {
    const size_t mask = m_index.size() - 1;
    m_index[slot] = 0;
    for (size_t next = (slot + 1) & mask; m_index[next] != 0; next = (next + 1) & mask) {
        const size_t home = HomeSlot(m_digests[m_index[next] - 1]);
        // The entry at `next` may move to `slot` unless its home lies after `slot` and at or
        // before `next`, going round the ring.
        const bool homeBetween =
            slot <= next ? (home > slot && home <= next) : (home > slot || home <= next);
        if (!homeBetween) {
            m_index[slot] = m_index[next];
            m_index[next] = 0;
            slot = next;
        }
    }
}

void OpenedLayers::Grow() {
    assert(m_index.size() < kMaxIndexSlots);
    m_index.assign(m_index.size() * 2, 0);
    for (size_t position = 0; position < m_digests.size(); ++position) {
        m_index[FindSlot(m_digests[position])] = static_cast<uint32_t>(position + 1);
    }
}

}  // namespace parlon
