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
        const std::optional<QueuedBlock> empty = queue.TakeFront();
        ASSERT_TRUE(empty.has_value());
        EXPECT_EQ(empty->bytes.Length(), 0u);
        EXPECT_FALSE(queue.IsEmpty());
    }
    EXPECT_EQ(shared.UseCount(), 1u);
    EXPECT_EQ(NumberOf(shared), 7u);
    GuardedQueue drained;
    EXPECT_FALSE(drained.TakeFront().has_value());
}

// A bounded queue takes blocks while both its item and its byte bounds hold, with the address
// each came from; what does not fit, or comes while it is closed, is dropped and counted.
TEST(GuardedQueue, DropsAndCountsWhatExceedsItsBoundsOrComesWhileClosed) {
    GuardedQueue queue(QueueBounds{.maxItems = 3, .maxBytes = 10});
    const PeerAddress from{ParseIpv4("127.0.0.2"), 4000};
    EXPECT_TRUE(queue.Push(ByteBuffer(6), from));
    EXPECT_FALSE(queue.Push(ByteBuffer(5)));  // 11 bytes
    EXPECT_TRUE(queue.Push(ByteBuffer(4)));   // exactly 10
    EXPECT_TRUE(queue.Push(ByteBuffer()));
    EXPECT_FALSE(queue.Push(ByteBuffer()));  // a fourth item
    EXPECT_EQ(queue.ByteCount(), 10u);
    EXPECT_EQ(queue.DroppedCount(), 2u);
    const std::optional<QueuedBlock> front = queue.TakeFront();
    ASSERT_TRUE(front.has_value());
    EXPECT_EQ(front->source, from);
    EXPECT_EQ(queue.ByteCount(), 4u);
    EXPECT_TRUE(queue.Push(ByteBuffer(6)));

    queue.Close();
    EXPECT_TRUE(queue.IsEmpty());
    EXPECT_EQ(queue.ByteCount(), 0u);
    EXPECT_FALSE(queue.Push(ByteBuffer(1)));
    EXPECT_EQ(queue.DroppedCount(), 2u + 3u + 1u);
    queue.Open();
    EXPECT_TRUE(queue.Push(ByteBuffer(1)));
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
