// RepeatingTimer: a timer that calls its tick function every period until stopped, as a window
// timer does; TimerFactory makes them. The terminal host uses one per session timer (1 to 3)
// and one per answer form (timer 4). AsioTimerFactory makes them on an io_context; tests use a
// fake factory and fire the ticks themselves.
//
// THREAD SAFETY: a timer and its factory are used on the thread that runs their io_context,
// which is also where the tick function runs.
#pragma once

#include <asio/io_context.hpp>
#include <cstdint>
#include <functional>
#include <memory>

namespace parlon {

class RepeatingTimer {
  public:
    virtual ~RepeatingTimer() = default;
    // Starts the timer, or restarts it with a new period: the first tick comes `periodMs` from
    // now. A tick may stop, restart or destroy its own timer.
    virtual void Start(uint32_t periodMs) = 0;
    // No tick comes after Stop until the next Start. Stopping a stopped timer does nothing.
    virtual void Stop() = 0;
};

class TimerFactory {
  public:
    virtual ~TimerFactory() = default;
    // A stopped timer that calls `onTick` at every expiry.
    virtual std::unique_ptr<RepeatingTimer> MakeTimer(std::function<void()> onTick) = 0;
};

// Timers on `io`, which must outlive every timer made here.
class AsioTimerFactory final : public TimerFactory {
  public:
    explicit AsioTimerFactory(asio::io_context& io) : m_io(io) {}
    std::unique_ptr<RepeatingTimer> MakeTimer(std::function<void()> onTick) override;

  private:
    asio::io_context& m_io;
};

}  // namespace parlon
