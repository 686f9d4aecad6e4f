#include "queue/guarded_queue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace parlon {
namespace {

ByteBuffer Numbered(uint32_t number) { return ByteBuffer(&number, sizeof number); }

uint32_t NumberOf(const ByteBuffer& buffer) {
    uint32_t number = 0;
    std::memcpy(&number, buffer.Data(), sizeof number);
    return number;
}

TEST(GuardedQueue, FrontCopyOutlivesPopFront) {
    GuardedQueue queue;
    EXPECT_TRUE(queue.IsEmpty());
    queue.Push(ByteBuffer("abc", 3));
    EXPECT_FALSE(queue.IsEmpty());
    ByteBuffer front = queue.Front();
    queue.PopFront();
    EXPECT_TRUE(queue.IsEmpty());
    EXPECT_EQ(front, ByteBuffer("abc", 3));
    EXPECT_EQ(front.UseCount(), 1u);
}

TEST(GuardedQueue, EmptyBlocksAreQueuedLikeAnyOther) {
    GuardedQueue queue;
    queue.Push(ByteBuffer());
    ASSERT_FALSE(queue.IsEmpty());
    EXPECT_EQ(queue.Front().Length(), 0u);
    EXPECT_TRUE(queue.TakeFront().has_value());
    EXPECT_FALSE(queue.TakeFront().has_value());
}

TEST(GuardedQueue, DestroyingAQueueReleasesItsBlocksButNotSharedOnes) {
    ByteBuffer shared = Numbered(7);
    {
        GuardedQueue queue;
        queue.Push(shared);
        queue.Push(Numbered(8));
        EXPECT_EQ(shared.UseCount(), 2u);
    }
    EXPECT_EQ(shared.UseCount(), 1u);
    EXPECT_EQ(NumberOf(shared), 7u);
}

// One thread pushes while another drains with the IsEmpty/Front/PopFront pattern: every block
// arrives, once, in push order.
TEST(GuardedQueue, OrderHoldsWhileOneThreadPushesAndAnotherDrains) {
    GuardedQueue queue;
    constexpr uint32_t kCount = 100000;
    std::thread producer([&queue] {
        for (uint32_t i = 0; i < kCount; ++i) {
            queue.Push(Numbered(i));
        }
    });
    std::vector<uint32_t> received;
    received.reserve(kCount);
    while (received.size() < kCount) {
        while (!queue.IsEmpty()) {
            ByteBuffer block = queue.Front();
            queue.PopFront();
            received.push_back(NumberOf(block));
        }
        std::this_thread::yield();
    }
    producer.join();
    EXPECT_TRUE(queue.IsEmpty());
    for (uint32_t i = 0; i < kCount; ++i) {
        ASSERT_EQ(received[i], i);
    }
}

}  // namespace
}  // namespace parlon
