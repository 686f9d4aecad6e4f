#include "common/byte_buffer.h"

#include <gtest/gtest.h>

namespace parlon {
namespace {

// A moved-from buffer is empty. Sharing, releasing and joining bodies are met by every program
// that carries packets (a lost count frees a body twice or never, under the address sanitizer).
TEST(ByteBuffer, AMovedFromBufferIsEmpty) {
    ByteBuffer original(3);
    const ByteBuffer moved = std::move(original);
    EXPECT_EQ(original.Length(), 0u);  // NOLINT(bugprone-use-after-move): defined as empty
    EXPECT_EQ(moved.Length(), 3u);
}

}  // namespace
}  // namespace parlon
