#include "common/byte_buffer.h"

#include "common/text_bounds.h"

#include <string.h>

#include <atomic>
#include <cassert>
#include <cstring>
#include <new>

namespace parlon {

// The body and its bytes live in one allocation: the bytes follow the header.
struct ByteBuffer::Body {
    std::atomic<uint32_t> count;
    uint32_t length;

    uint8_t* Bytes() noexcept { return reinterpret_cast<uint8_t*>(this + 1); }

    static Body* Make(uint32_t length) {
        void* memory = ::operator new(sizeof(Body) + length);
        return new (memory) Body{{1}, length};
    }
    // Buffers carry message texts and reply masks: their bytes do not outlive them in freed
    // memory. explicit_bzero is not optimised away as a store before a free may be.
    static void Free(Body* body) noexcept {
        ::explicit_bzero(body->Bytes(), body->length);
        body->~Body();
        ::operator delete(body);
    }
};

ByteBuffer::ByteBuffer() : m_body(Body::Make(0)) {}

ByteBuffer::ByteBuffer(uint32_t length) : m_body(Body::Make(length)) {
    std::memset(m_body->Bytes(), 0, length);
}

ByteBuffer::ByteBuffer(const void* source, uint32_t length) : m_body(Body::Make(length)) {
    if (length > 0) {
        std::memcpy(m_body->Bytes(), source, length);
    }
}

ByteBuffer::ByteBuffer(std::span<const uint8_t> bytes)
    : ByteBuffer(bytes.data(), static_cast<uint32_t>(bytes.size())) {
    assert(bytes.size() <= UINT32_MAX);
}

ByteBuffer::ByteBuffer(const ByteBuffer& other) noexcept : m_body(other.m_body) {
    if (m_body != nullptr) {
        m_body->count.fetch_add(1, std::memory_order_relaxed);
    }
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept : m_body(other.m_body) {
    other.m_body = nullptr;
}

ByteBuffer& ByteBuffer::operator=(const ByteBuffer& other) noexcept {
    if (m_body != other.m_body) {
        Release();
        m_body = other.m_body;
        if (m_body != nullptr) {
            m_body->count.fetch_add(1, std::memory_order_relaxed);
        }
    }
    return *this;
}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
        Release();
        m_body = other.m_body;
        other.m_body = nullptr;
    }
    return *this;
}

ByteBuffer::~ByteBuffer() {
    Release();
}

void ByteBuffer::Release() noexcept {
    // acq_rel: the thread that frees the body must see every write made through other handles.
    if (m_body != nullptr && m_body->count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        Body::Free(m_body);
    }
    m_body = nullptr;
}

ByteBuffer ByteBuffer::Join(const ByteBuffer& first, const ByteBuffer& second) {
    assert(uint64_t{first.Length()} + second.Length() <= UINT32_MAX);
    ByteBuffer joined(first.Length() + second.Length());
    uint8_t* out = joined.MutableData();
    if (first.Length() > 0) {
        std::memcpy(out, first.Data(), first.Length());
    }
    if (second.Length() > 0) {
        std::memcpy(out + first.Length(), second.Data(), second.Length());
    }
    return joined;
}

const uint8_t* ByteBuffer::Data() const noexcept {
    return m_body != nullptr ? m_body->Bytes() : nullptr;
}

uint32_t ByteBuffer::Length() const noexcept {
    return m_body != nullptr ? m_body->length : 0;
}

std::string_view ByteBuffer::TextUpToNul() const noexcept {
    return parlon::TextUpToNul({reinterpret_cast<const char*>(Data()), Length()});
}

uint8_t* ByteBuffer::MutableData() noexcept {
    assert(UseCount() == 1);
    return m_body != nullptr ? m_body->Bytes() : nullptr;
}

uint32_t ByteBuffer::UseCount() const noexcept {
    return m_body != nullptr ? m_body->count.load(std::memory_order_relaxed) : 0;
}

bool ByteBuffer::operator==(const ByteBuffer& other) const noexcept {
    return Length() == other.Length() &&
           (Length() == 0 || std::memcmp(Data(), other.Data(), Length()) == 0);
}

}  // namespace parlon
