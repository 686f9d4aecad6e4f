// FakeTimerFactory: timers on a clock of the test's own. Advance(ms) moves the clock and fires
// every tick that falls due on the way, in time order, so timer tests never sleep.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "cli/repeating_timer.h"

namespace parlon::testing {

class FakeTimerFactory final : public TimerFactory {
  public:
    class Timer final : public RepeatingTimer {
      public:
        Timer(FakeTimerFactory& factory, std::function<void()> onTick)
            : m_factory(factory), m_onTick(std::move(onTick)) {
            m_factory.m_timers.push_back(this);
        }
        ~Timer() override { std::erase(m_factory.m_timers, this); }
        void Start(uint32_t periodMs) override {
            m_running = true;
            m_period = periodMs;
            m_due = m_factory.m_now + periodMs;
        }
        void Stop() override { m_running = false; }

        bool Running() const { return m_running; }
        uint32_t Period() const { return m_period; }

      private:
        friend class FakeTimerFactory;
        FakeTimerFactory& m_factory;
        std::function<void()> m_onTick;
        bool m_running = false;
        uint32_t m_period = 0;
        uint64_t m_due = 0;
    };

    std::unique_ptr<RepeatingTimer> MakeTimer(std::function<void()> onTick) override {
        return std::make_unique<Timer>(*this, std::move(onTick));
    }

    // Moves the clock on by `ms`, firing each due tick at its own time.
    void Advance(uint64_t ms) {
        const uint64_t target = m_now + ms;
        while (Timer* next = NextDue(target)) {
            m_now = next->m_due;
            next->m_due += std::max<uint32_t>(next->m_period, 1);
            const std::function<void()> onTick = next->m_onTick;  // the tick may destroy its timer
            onTick();
        }
        m_now = target;
    }

    // The running timers, in the order they were made.
    std::vector<const Timer*> Running() const {
        std::vector<const Timer*> running;
        for (const Timer* timer : m_timers) {
            if (timer->m_running) {
                running.push_back(timer);
            }
        }
        return running;
    }

  private:
    Timer* NextDue(uint64_t limit) const {
        Timer* next = nullptr;
        for (Timer* timer : m_timers) {
            if (timer->m_running && timer->m_due <= limit &&
                (next == nullptr || timer->m_due < next->m_due)) {
                next = timer;
            }
        }
        return next;
    }

    uint64_t m_now = 0;
    std::vector<Timer*> m_timers;  // live timers, not owned
};

}  // namespace parlon::testing
