#include "queue/guarded_queue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace parlon {
namespace {

ByteBuffer Numbered(uint32_t number) {
    return ByteBuffer(&number, sizeof number);
}

uint32_t NumberOf(const ByteBuffer& buffer) {
    uint32_t number = 0;
    std::memcpy(&number, buffer.Data(), sizeof number);
    return number;
}

// Blocks, empty ones included, come out in order; a front copy outlives its pop; a queue
// releases its handles when destroyed, leaving shared bodies to their other owners.
TEST(GuardedQueue, HoldsSharedHandlesInOrderAndReleasesThem) {
    ByteBuffer shared = Numbered(7);
    {
        GuardedQueue queue;
        EXPECT_TRUE(queue.IsEmpty());
        queue.Push(shared);
        queue.Push(ByteBuffer());
        queue.Push(Numbered(8));
        EXPECT_EQ(shared.UseCount(), 2u);
        ByteBuffer front = queue.Front();
        queue.PopFront();
        EXPECT_EQ(front, shared);
        EXPECT_EQ(shared.UseCount(), 2u);  // this one and `front`
        const std::optional<ByteBuffer> empty = queue.TakeFront();
        ASSERT_TRUE(empty.has_value());
        EXPECT_EQ(empty->Length(), 0u);
        EXPECT_FALSE(queue.IsEmpty());
    }
    EXPECT_EQ(shared.UseCount(), 1u);
    EXPECT_EQ(NumberOf(shared), 7u);
    GuardedQueue drained;
    EXPECT_FALSE(drained.TakeFront().has_value());
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
