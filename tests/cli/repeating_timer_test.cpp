// The Asio timers on a real io_context. Nothing here asserts how long anything took: each test
// runs the context until the ticks it waits for have happened, bounded by a generous limit.
#include "cli/repeating_timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace parlon {
namespace {

using namespace std::chrono_literals;

class AsioTimerTest : public ::testing::Test {
  protected:
    // Runs the context until it runs out of work or the limit passes.
    void RunUntilIdle() {
        io_.restart();
        io_.run_for(5s);
    }

    asio::io_context io_;
    AsioTimerFactory factory_{io_};
};

TEST_F(AsioTimerTest, TicksRepeatUntilStoppedFromATick) {
    int ticks = 0;
    std::unique_ptr<RepeatingTimer> timer;
    timer = factory_.MakeTimer([&] {
        if (++ticks == 3) {
            timer->Stop();
        }
    });
    timer->Start(10);
    RunUntilIdle();
    EXPECT_EQ(ticks, 3);
}

TEST_F(AsioTimerTest, ANewTimerDoesNotTickUntilStarted) {
    int ticks = 0;
    const auto timer = factory_.MakeTimer([&] { ++ticks; });
    RunUntilIdle();
    EXPECT_EQ(ticks, 0);
}

TEST_F(AsioTimerTest, ATickMayDestroyItsOwnTimer) {
    int ticks = 0;
    std::unique_ptr<RepeatingTimer> timer;
    timer = factory_.MakeTimer([&] {
        ++ticks;
        timer.reset();
    });
    timer->Start(10);
    RunUntilIdle();
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(timer, nullptr);
}

TEST_F(AsioTimerTest, ATickMayRestartItsOwnTimerWithAnotherPeriod) {
    int ticks = 0;
    std::unique_ptr<RepeatingTimer> timer;
    timer = factory_.MakeTimer([&] {
        ++ticks;
        if (ticks == 1) {
            timer->Start(20);
        } else {
            timer->Stop();
        }
    });
    timer->Start(10);
    RunUntilIdle();
    EXPECT_EQ(ticks, 2);
}

TEST_F(AsioTimerTest, StopAfterTheWaitExpiredStillPreventsTheTick) {
    // Both timers expire before the context runs; the first tick stops the second, whose
    // handler is then already queued and must do nothing.
    int firstTicks = 0;
    int secondTicks = 0;
    std::unique_ptr<RepeatingTimer> second = factory_.MakeTimer([&] { ++secondTicks; });
    std::unique_ptr<RepeatingTimer> first = factory_.MakeTimer([&] {
        ++firstTicks;
        first->Stop();
        second->Stop();
    });
    first->Start(10);
    second->Start(11);
    std::this_thread::sleep_for(50ms);
    RunUntilIdle();
    EXPECT_EQ(firstTicks, 1);
    EXPECT_EQ(secondTicks, 0);
}

TEST_F(AsioTimerTest, DestroyingAStartedTimerCancelsItsTicks) {
    int ticks = 0;
    factory_.MakeTimer([&] { ++ticks; })->Start(10);  // destroyed at the end of the statement
    RunUntilIdle();
    EXPECT_EQ(ticks, 0);
}

}  // namespace
}  // namespace parlon
