#include "queue/guarded_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <latch>
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

// Producers push while one thread drains with the IsEmpty/Front/PopFront pattern: every block
// arrives, once, each producer's in push order. A missing lock shows under ThreadSanitizer every
// time; in a plain build, the producers released together collide often enough to corrupt the
// queue most times.
TEST(GuardedQueue, OrderHoldsWhileThreadsPushAndAnotherDrains) {
    GuardedQueue queue;
    constexpr uint32_t kProducers = 4;
    constexpr uint32_t kEach = 250000;
    std::latch start(kProducers + 1);
    std::atomic<uint32_t> finished = 0;
    std::vector<std::thread> producers;
    for (uint32_t producer = 0; producer < kProducers; ++producer) {
        producers.emplace_back([&queue, &start, &finished, producer] {
            start.arrive_and_wait();
            for (uint32_t i = 0; i < kEach; ++i) {
                queue.Push(Numbered(producer * kEach + i));
            }
            ++finished;
        });
    }
    std::vector<uint32_t> received;
    received.reserve(kProducers * kEach);
    start.arrive_and_wait();
    // Until the queue is empty after the last push (a lost block must not hang the test).
    for (bool done = false; !done; std::this_thread::yield()) {
        done = finished == kProducers;
        while (!queue.IsEmpty()) {
            ByteBuffer block = queue.Front();
            queue.PopFront();
            received.push_back(NumberOf(block));
        }
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
    EXPECT_EQ(received.size(), kProducers * kEach);
    std::vector<uint32_t> next(kProducers);  // per producer, the number it pushed next
    for (const uint32_t number : received) {
        const uint32_t producer = number / kEach;
        ASSERT_LT(producer, kProducers) << "a block no producer pushed";
        ASSERT_EQ(number % kEach, next[producer]++) << "from producer " << producer;
    }
}

}  // namespace
}  // namespace parlon
