#include "common/byte_buffer.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

namespace parlon {
namespace {

// Copies share the body, assignment releases the old one, a moved-from buffer is empty; Join
// makes a new buffer with both in order; text stops at the first NUL.
TEST(ByteBuffer, CopiesShareTheBodyAndJoinMakesANewOne) {
    const uint8_t bytes[] = {1, 2, 3};
    ByteBuffer original(bytes, sizeof bytes);
    EXPECT_NE(original.Data(), bytes);  // made buffers copy their source
    {
        ByteBuffer copy = original;
        ByteBuffer assigned(8);
        const ByteBuffer keep = assigned;
        assigned = copy;
        EXPECT_EQ(keep.UseCount(), 1u);  // the old body lost its handle
        EXPECT_EQ(copy.Data(), original.Data());
        EXPECT_EQ(assigned.Data(), original.Data());
        EXPECT_EQ(original.UseCount(), 3u);
        assigned = original;  // already shared: the count does not move
        EXPECT_EQ(original.UseCount(), 3u);
        ByteBuffer moved = std::move(copy);
        EXPECT_EQ(original.UseCount(), 3u);
        EXPECT_EQ(copy.Length(), 0u);  // NOLINT(bugprone-use-after-move): defined as empty
        EXPECT_TRUE(copy.TextUpToNul().empty());
    }
    EXPECT_EQ(original.UseCount(), 1u);
    EXPECT_EQ(original, ByteBuffer(bytes, sizeof bytes));
    EXPECT_EQ(ByteBuffer(nullptr, 0).Length(), 0u);

    const ByteBuffer second("d", 1);
    EXPECT_EQ(ByteBuffer::Join(original, second), ByteBuffer("\1\2\3d", 4));
    EXPECT_EQ(original.UseCount(), 1u);
    EXPECT_EQ(ByteBuffer::Join(ByteBuffer(), second), second);
    EXPECT_EQ(ByteBuffer::Join(original, ByteBuffer()), original);
    EXPECT_EQ(ByteBuffer("hi\0there", 8).TextUpToNul(), "hi");
    EXPECT_EQ(ByteBuffer("hi", 2).TextUpToNul(), "hi");
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
