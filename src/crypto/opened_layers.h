// OpenedLayers: the digests of the "F" layers that one key pair has opened, so that a layer
// that arrives again (a replay, also under another message id) is dropped before any RSA work.
//
// A digest is SHA-256 of the encrypted layer (everything after the message id), cut to 16
// bytes. The store holds at most kCapacity digests and forgets the oldest first; its memory
// grows with use up to kMaxMemoryBytes and is freed with the store (with the key pair).
//
// THREAD SAFETY: not thread-safe; one thread uses it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace parlon {

class OpenedLayers {
  public:
    static constexpr size_t kDigestSize = 16;
    using Digest = std::array<uint8_t, kDigestSize>;

    // Digests held at most: 2^19. The index keeps its load at one half or less.
    static constexpr size_t kCapacity = size_t{1} << 19;
    static constexpr size_t kMaxIndexSlots = 2 * kCapacity;
    static constexpr size_t kMaxMemoryBytes =
        kCapacity * sizeof(Digest) + kMaxIndexSlots * sizeof(uint32_t);
    static_assert(kMaxMemoryBytes == 12 * 1024 * 1024);

    static Digest DigestOf(std::span<const uint8_t> encryptedLayer);

    bool Contains(const Digest& digest) const noexcept;
    // Records `digest`, forgetting the oldest one when kCapacity are held.
    // REQUIRES: !Contains(digest).
    void Insert(const Digest& digest);

    size_t Size() const noexcept { return m_size; }

  private:
    // The slot of `digest` in the index, or of the empty slot where it would go.
    size_t FindSlot(const Digest& digest) const noexcept;
    size_t HomeSlot(const Digest& digest) const noexcept;
    void Erase(size_t slot) noexcept;
    void Grow();

    // The digests in arrival order, a ring once it holds kCapacity; m_oldest is where the next
    // one goes then.
    std::vector<Digest> m_digests;
    size_t m_oldest = 0;
    size_t m_size = 0;
    // Open addressing with linear probing: 1 + the position in m_digests, 0 for an empty slot.
    // The slot count is a power of two.
    std::vector<uint32_t> m_index = std::vector<uint32_t>(1024, 0);
};

}  // namespace parlon
