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

// Blocks come out in order while the byte bound holds; a block past it is dropped and counted,
// and so is what Close drops. A front copy outlives its pop; a destroyed queue releases its
// handles. The item bound, closing and opening are the session's flood test.
TEST(GuardedQueue, KeepsOrderWithinItsByteBoundAndReleasesItsHandles) {
    const ByteBuffer shared = Numbered(7);
    const PeerAddress from{ParseIpv4("127.0.0.2"), 4000};
    {
        GuardedQueue queue(QueueBounds{.maxItems = 3, .maxBytes = 10});
        EXPECT_FALSE(queue.TakeFront().has_value());
        EXPECT_TRUE(queue.Push(ByteBuffer(6), from));
        EXPECT_FALSE(queue.Push(ByteBuffer(5)));  // 11 bytes
        EXPECT_TRUE(queue.Push(shared));          // exactly 10 bytes
        const QueuedBlock first = queue.TakeFront().value();
        EXPECT_EQ(first.source, from);
        EXPECT_EQ(first.bytes.Length(), 6u);
        EXPECT_EQ(queue.ByteCount(), 4u);
        const ByteBuffer front = queue.Front();
        queue.PopFront();
        EXPECT_EQ(NumberOf(front), 7u);
        EXPECT_EQ(shared.UseCount(), 2u);  // this one and `front`
        EXPECT_TRUE(queue.IsEmpty());

        EXPECT_TRUE(queue.Push(shared));
        EXPECT_TRUE(queue.Push(ByteBuffer(6)));  // the popped bytes were given back
        queue.Close();
        EXPECT_EQ(queue.ByteCount(), 0u);
        EXPECT_EQ(queue.DroppedCount(), 1u + 2u);
        queue.Open();
        EXPECT_TRUE(queue.Push(shared));
        EXPECT_EQ(shared.UseCount(), 3u);  // with `front` and the queue's
    }
    EXPECT_EQ(shared.UseCount(), 1u);
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
