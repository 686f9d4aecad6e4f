#include "queue/guarded_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace parlon {
namespace {

// Order and the byte bound; what is dropped is counted; a destroyed queue releases its handles.
TEST(GuardedQueue, KeepsOrderWithinItsByteBoundAndReleasesItsHandles) {
    const ByteBuffer shared(4);
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
        EXPECT_EQ(front.Data(), shared.Data());

        EXPECT_TRUE(queue.Push(shared));
        EXPECT_TRUE(queue.Push(ByteBuffer(6)));  // the popped bytes were given back
        queue.Close();
        EXPECT_EQ(queue.ByteCount(), 0u);
        EXPECT_FALSE(queue.Push(shared));  // nothing is kept while closed
        EXPECT_EQ(queue.DroppedCount(), 1u + 2u + 1u);
        queue.Open();
        EXPECT_TRUE(queue.Push(shared));
        EXPECT_TRUE(queue.Push(ByteBuffer(1)));
        EXPECT_TRUE(queue.Push(ByteBuffer(1)));
        EXPECT_FALSE(queue.Push(ByteBuffer(1)));  // a fourth item, though 6 bytes leave room
    }
    EXPECT_EQ(shared.UseCount(), 1u);
}

// One thread pushes while this one drains, as the listener and the session do: each block is
// taken once. A missing lock shows under ThreadSanitizer, which runs this program.
TEST(GuardedQueue, ADrainBesideAPusherTakesEachBlockOnce) {
    GuardedQueue queue;
    std::atomic<size_t> pushed = 0;
    std::atomic<bool> done = false;
    std::jthread pusher([&] {
        for (int i = 0; i < 5000; ++i) {
            pushed += queue.Push(ByteBuffer(8)) ? 1 : 0;
        }
        done = true;
    });
    size_t taken = 0;
    for (bool last = false; !last; std::this_thread::yield()) {
        last = done;  // then drain once more
        for (; !queue.IsEmpty(); ++taken) {
            EXPECT_EQ(queue.Front().Length(), 8u);
            queue.PopFront();
        }
    }
    EXPECT_EQ(taken, pushed);
}

}  // namespace
}  // namespace parlon
