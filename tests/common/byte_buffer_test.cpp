#include "common/byte_buffer.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace parlon {
namespace {

TEST(ByteBuffer, CopiesShareTheBodyAndNeverTheBytes) {
    const uint8_t bytes[] = {1, 2, 3};
    ByteBuffer original(bytes, sizeof bytes);
    EXPECT_NE(original.Data(), bytes);  // made buffers copy their source
    {
        ByteBuffer copy = original;
        ByteBuffer assigned;
        assigned = copy;
        EXPECT_EQ(copy.Data(), original.Data());
        EXPECT_EQ(assigned.Data(), original.Data());
        EXPECT_EQ(original.UseCount(), 3u);
        assigned = original;  // already shared: the count does not move
        EXPECT_EQ(original.UseCount(), 3u);
    }
    EXPECT_EQ(original.UseCount(), 1u);
    EXPECT_EQ(original, ByteBuffer(bytes, sizeof bytes));
}

TEST(ByteBuffer, AssignmentReleasesTheOldBody) {
    ByteBuffer first(4);
    ByteBuffer keep = first;
    ByteBuffer second(8);
    first = second;
    EXPECT_EQ(keep.UseCount(), 1u);
    EXPECT_EQ(second.UseCount(), 2u);
    EXPECT_EQ(first.Length(), 8u);
}

TEST(ByteBuffer, EmptyBuffersAndMovedFromHandlesReadAsLengthZero) {
    ByteBuffer empty;
    EXPECT_EQ(empty.Length(), 0u);
    EXPECT_EQ(ByteBuffer(nullptr, 0).Length(), 0u);
    ByteBuffer source(3);
    ByteBuffer target = std::move(source);
    EXPECT_EQ(target.Length(), 3u);
    EXPECT_EQ(source.Length(), 0u);  // NOLINT(bugprone-use-after-move): defined as empty
    EXPECT_TRUE(source.TextUpToNul().empty());
}

TEST(ByteBuffer, JoinMakesANewBufferWithBothInOrder) {
    const uint8_t a[] = {'a', 'b'};
    const uint8_t b[] = {'c'};
    ByteBuffer first(a, 2);
    ByteBuffer second(b, 1);
    ByteBuffer joined = ByteBuffer::Join(first, second);
    EXPECT_EQ(joined, ByteBuffer("abc", 3));
    EXPECT_EQ(first.UseCount(), 1u);
    EXPECT_EQ(ByteBuffer::Join(ByteBuffer(), second), second);
    EXPECT_EQ(ByteBuffer::Join(first, ByteBuffer()), first);
}

TEST(ByteBuffer, TextStopsAtTheFirstNul) {
    EXPECT_EQ(ByteBuffer("hi\0there", 8).TextUpToNul(), "hi");
    EXPECT_EQ(ByteBuffer("hi", 2).TextUpToNul(), "hi");
}

// Copies made and released on two threads at once must leave the count exact: with a count
// whose updates can be lost, the final count is off (and the sanitizer builds report it).
TEST(ByteBuffer, CountStaysExactUnderTwoThreads) {
    ByteBuffer shared(16);
    constexpr int kRounds = 200000;
    auto churn = [&shared] {
        for (int i = 0; i < kRounds; ++i) {
            ByteBuffer copy = shared;
            ByteBuffer another(copy);
            another = ByteBuffer();
        }
    };
    std::thread producer(churn);
    std::thread consumer(churn);
    std::vector<ByteBuffer> held(1000, shared);
    producer.join();
    consumer.join();
    EXPECT_EQ(shared.UseCount(), 1001u);
    held.clear();
    EXPECT_EQ(shared.UseCount(), 1u);
}

}  // namespace
}  // namespace parlon
