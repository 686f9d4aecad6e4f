#include "queue/guarded_queue.h"

#include <gtest/gtest.h>

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
        EXPECT_EQ(queue.DroppedCount(), 1u + 2u);
        queue.Open();
        EXPECT_TRUE(queue.Push(shared));
    }
    EXPECT_EQ(shared.UseCount(), 1u);
}

}  // namespace
}  // namespace parlon
