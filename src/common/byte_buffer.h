// ByteBuffer: a handle to a shared, reference-counted, immutable-once-shared byte array.
//
// Every packet, payload, text and queue element is a ByteBuffer. Copying a handle shares the
// body and never copies bytes; the body and its bytes are freed when the last handle goes,
// the bytes wiped first (they may be a message text or a reply mask).
//
// THREAD SAFETY: handles to one body may be copied and destroyed on different threads at once
// (the count is atomic). The bytes themselves are written only through MutableData() by the
// single owner of a freshly made buffer, before it is shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace parlon {

class ByteBuffer {
  public:
    // A buffer of length 0.
    ByteBuffer();
    // A buffer of `length` bytes, zero-filled.
    explicit ByteBuffer(uint32_t length);
    // A buffer holding a copy of `length` bytes from `source`.
    ByteBuffer(const void* source, uint32_t length);
    explicit ByteBuffer(std::span<const uint8_t> bytes);

    ByteBuffer(const ByteBuffer& other) noexcept;
    ByteBuffer(ByteBuffer&& other) noexcept;
    ByteBuffer& operator=(const ByteBuffer& other) noexcept;
    ByteBuffer& operator=(ByteBuffer&& other) noexcept;
    ~ByteBuffer();

    // A new buffer with the bytes of `first` followed by those of `second`.
    static ByteBuffer Join(const ByteBuffer& first, const ByteBuffer& second);

    const uint8_t* Data() const noexcept;
    uint32_t Length() const noexcept;
    std::span<const uint8_t> Bytes() const noexcept { return {Data(), Length()}; }
    // The bytes up to (not including) the first NUL, or all of them.
    std::string_view TextUpToNul() const noexcept;

    // Writable bytes of a buffer that no other handle shares yet.
    // REQUIRES: UseCount() == 1.
    uint8_t* MutableData() noexcept;

    // The number of handles sharing this body (for tests and assertions).
    uint32_t UseCount() const noexcept;

    bool operator==(const ByteBuffer& other) const noexcept;

  private:
    struct Body;
    void Release() noexcept;

    Body* m_body;  // null only in a moved-from handle, which reads as length 0
};

}  // namespace parlon
