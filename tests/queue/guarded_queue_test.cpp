#include "queue/guarded_queue.h"

#include <gtest/gtest.h>

#include <atomic>
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

// Blocks come out in order while the byte bound holds; a block past it is dropped and counted,
// and so is what Close drops. A destroyed queue releases its handles. The item bound, closing
// and opening are the session's flood test.
TEST(GuardedQueue, KeepsOrderWithinItsByteBoundAndReleasesItsHandles) {
    const ByteBuffer shared = Numbered(7);
    const PeerAddress from{ParseIpv4("127.0.0.2"), 4000};
    {
        GuardedQueue queue(QueueBounds{.maxItems = 3, .maxBytes = 10});
        EXPECT_TRUE(queue.Push(ByteBuffer(6), from));
        EXPECT_FALSE(queue.Push(ByteBuffer(5)));  // 11 bytes
        EXPECT_TRUE(queue.Push(shared));          // exactly 10 bytes
        const QueuedBlock first = queue.TakeFront().value();
        EXPECT_EQ(first.source, from);
        const ByteBuffer front = queue.Front();
        queue.PopFront();
        EXPECT_EQ(NumberOf(front), 7u);

        EXPECT_TRUE(queue.Push(shared));
        EXPECT_TRUE(queue.Push(ByteBuffer(6)));  // the popped bytes were given back
        queue.Close();
        EXPECT_EQ(queue.ByteCount(), 0u);
        EXPECT_EQ(queue.DroppedCount(), 1u + 2u);
        queue.Open();
        EXPECT_TRUE(queue.Push(shared));
    }
    EXPECT_EQ(shared.UseCount(), 1u);
}

// Two producers push while this thread drains: every block arrives, once, each producer's in
// push order. A missing lock shows under ThreadSanitizer, which runs this program.
TEST(GuardedQueue, OrderHoldsWhileThreadsPushAndAnotherDrains) {
    constexpr uint32_t kEach = 20000;
    GuardedQueue queue;
    std::atomic<uint32_t> finished = 0;
    std::vector<std::jthread> producers;
    for (uint32_t producer = 0; producer < 2; ++producer) {
        producers.emplace_back([&, producer] {
            for (uint32_t i = 0; i < kEach; ++i) {
                queue.Push(Numbered(producer * kEach + i));
            }
            ++finished;
        });
    }
    std::vector<uint32_t> next(2);  // per producer, the number it pushed next
    for (bool done = false; !done; std::this_thread::yield()) {
        done = finished == 2;  // then drain once more: a lost block must not hang the test
        while (!queue.IsEmpty()) {
            const uint32_t number = NumberOf(queue.Front());
            queue.PopFront();
            ASSERT_LT(number / kEach, 2u) << "a block no producer pushed";
            ASSERT_EQ(number % kEach, next[number / kEach]++) << "out of order";
        }
    }
    EXPECT_EQ(next, (std::vector<uint32_t>{kEach, kEach}));
}

}  // namespace
}  // namespace parlon
