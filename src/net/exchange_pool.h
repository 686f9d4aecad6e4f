// ExchangePool: runs blocking network exchanges (a registration, a sign-off, the delivery of
// one packet) off the caller's thread, so that the thread that hands them over never waits on
// the network.
//
// At most `maxInFlight` exchanges run at once, each on a worker thread of its own; the rest
// wait in the order they were handed over. Workers are started when there is work and end when
// there is none. Each exchange is bounded by its own deadlines (see TransportDeadlines), so a
// host that never answers holds one worker until its deadline and nothing else.
//
// Destruction waits until every exchange handed over has ended, at most `lingerLimit`; those
// that have not started by then are dropped (a dropped job is destroyed without being run), and
// those still running finish on their own threads, which touch nothing of the pool's owner.
// A job must therefore own everything it uses.
//
// THREAD SAFETY: Submit, SubmitFirst and InFlight may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

namespace parlon {

class ExchangePool {
  public:
    using Job = std::function<void()>;

    static constexpr size_t kDefaultMaxInFlight = 64;

    explicit ExchangePool(size_t maxInFlight = kDefaultMaxInFlight,
                          std::chrono::milliseconds lingerLimit = std::chrono::seconds(5));
    ~ExchangePool();
    ExchangePool(const ExchangePool&) = delete;
    ExchangePool& operator=(const ExchangePool&) = delete;

    // Hands `job` over behind every job waiting. An exception that leaves a job is dropped.
    void Submit(Job job);
    // Hands `job` over ahead of every job waiting (a sign-off must not wait behind deliveries).
    void SubmitFirst(Job job);

    // Jobs running now.
    size_t InFlight() const;

  private:
    struct State;
    void Enqueue(Job job, bool first);
    // A worker: takes jobs from the front until there is none, then ends.
    static void Work(const std::shared_ptr<State>& state);

    std::shared_ptr<State> m_state;
    const std::chrono::milliseconds m_lingerLimit;
};

}  // namespace parlon
