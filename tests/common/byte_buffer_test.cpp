#include "common/byte_buffer.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

namespace parlon {
namespace {

// A moved-from buffer is empty. Sharing, releasing and joining bodies are met by every program
// that carries packets (a lost count frees a body twice or never, under the address sanitizer).
TEST(ByteBuffer, AMovedFromBufferIsEmpty) {
    ByteBuffer original(3);
    const ByteBuffer moved = std::move(original);
    EXPECT_EQ(original.Length(), 0u);  // NOLINT(bugprone-use-after-move): defined as empty
    EXPECT_TRUE(original.TextUpToNul().empty());
    EXPECT_EQ(moved.Length(), 3u);
}

// Copies are made on two threads at once, then released on two threads at once. Only
// increments, then only decrements, race, so lost updates cannot cancel out: with a count that
// can lose them, it ends off.
TEST(ByteBuffer, CountStaysExactUnderTwoThreads) {
    constexpr size_t kCopies = 4'000'000;  // per thread: enough for the threads to overlap
    const ByteBuffer shared(16);
    std::vector<ByteBuffer> held[2];
    const auto onTwoThreads = [&held](const std::function<void(std::vector<ByteBuffer>&)>& work) {
        std::thread other(work, std::ref(held[1]));
        work(held[0]);
        other.join();
    };
    for (int round = 0; round < 3; ++round) {  // each round is one more chance to overlap
        onTwoThreads([&shared](std::vector<ByteBuffer>& mine) { mine.assign(kCopies, shared); });
        EXPECT_EQ(shared.UseCount(), 2 * kCopies + 1) << round;
        onTwoThreads([](std::vector<ByteBuffer>& mine) { mine.clear(); });
        EXPECT_EQ(shared.UseCount(), 1u) << round;
    }
}

}  // namespace
}  // namespace parlon
