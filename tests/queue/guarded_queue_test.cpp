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
