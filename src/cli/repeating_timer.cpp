#include "cli/repeating_timer.h"

#include <asio/steady_timer.hpp>
#include <chrono>
#include <system_error>
#include <utility>

namespace parlon {

namespace {

class AsioRepeatingTimer final : public RepeatingTimer {
  public:
    AsioRepeatingTimer(asio::io_context& io, std::function<void()> onTick)
        : m_timer(io), m_onTick(std::make_shared<const std::function<void()>>(std::move(onTick))) {}

    ~AsioRepeatingTimer() override { Stop(); }

    void Start(uint32_t periodMs) override {
        Stop();
        m_period = std::chrono::milliseconds(periodMs);
        Arm();
    }

    void Stop() override {
        // A wait that has already expired cannot be cancelled: its handler still runs, so it
        // checks the generation it was armed in and does nothing when that has passed.
        ++*m_generation;
        m_timer.cancel();
    }

  private:
    void Arm() {
        m_timer.expires_after(m_period);
        m_timer.async_wait(
            [this, generation = m_generation, armedIn = *m_generation](std::error_code error) {
                // `generation` outlives this object, so it can tell whether `this` is still valid.
                if (error || *generation != armedIn) {
                    return;
                }
                // The tick may stop, restart or destroy this timer, so it runs on its own handle of
                // the function and nothing of `this` is used after it.
                const std::shared_ptr<const std::function<void()>> onTick = m_onTick;
                Arm();  // the next tick is due one period from now
                (*onTick)();
            });
    }

    asio::steady_timer m_timer;
    std::shared_ptr<const std::function<void()>> m_onTick;
    std::chrono::milliseconds m_period{0};
    std::shared_ptr<uint64_t> m_generation = std::make_shared<uint64_t>(0);
};

}  // namespace

std::unique_ptr<RepeatingTimer> AsioTimerFactory::MakeTimer(std::function<void()> onTick) {
    return std::make_unique<AsioRepeatingTimer>(m_io, std::move(onTick));
}

}  // namespace parlon
