#include "net/exchange_pool.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace parlon {

// Shared by the pool and its workers, so that a worker that outlives the pool stays safe.
struct ExchangePool::State {
    const size_t maxInFlight;
    std::mutex mutex;
    std::condition_variable idle;  // signalled when the last worker ends
    std::deque<Job> waiting;       // guarded by mutex
    size_t workers = 0;            // guarded by mutex; each runs one job at a time
    bool closed = false;           // guarded by mutex; no job starts once set

    explicit State(size_t max) : maxInFlight(max) {}
};

ExchangePool::ExchangePool(size_t maxInFlight, std::chrono::milliseconds lingerLimit)
    : m_state(std::make_shared<State>(maxInFlight == 0 ? 1 : maxInFlight)),
      m_lingerLimit(lingerLimit) {}

ExchangePool::~ExchangePool() {
    std::deque<Job> dropped;
    {
        std::unique_lock lock(m_state->mutex);
        m_state->idle.wait_for(lock, m_lingerLimit, [this] {
            return m_state->workers == 0 && m_state->waiting.empty();
        });
        m_state->closed = true;
        dropped.swap(m_state->waiting);
    }
    // Destroyed outside the lock: a job's destructor may report its end.
}

void ExchangePool::Submit(Job job) {
    Enqueue(std::move(job), false);
}

void ExchangePool::SubmitFirst(Job job) {
    Enqueue(std::move(job), true);
}

size_t ExchangePool::InFlight() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->workers;
}

void ExchangePool::Enqueue(Job job, bool first) {
    std::unique_lock lock(m_state->mutex);
    if (first) {
        m_state->waiting.push_front(std::move(job));
    } else {
        m_state->waiting.push_back(std::move(job));
    }
    if (m_state->workers >= m_state->maxInFlight) {
        return;  // a worker takes it when one is done
    }
    ++m_state->workers;
    try {
        std::thread([state = m_state] { Work(state); }).detach();
    } catch (const std::system_error&) {
        // No thread now: the job waits for a running worker or the next hand-over.
        --m_state->workers;
    }
}

void ExchangePool::Work(const std::shared_ptr<State>& state) {
    std::unique_lock lock(state->mutex);
    while (!state->closed && !state->waiting.empty()) {
        ExchangePool::Job job = std::move(state->waiting.front());
        state->waiting.pop_front();
        lock.unlock();
        try {
            job();
        } catch (...) {
        }
        job = nullptr;  // whatever the job owns is released before the next one starts
        lock.lock();
    }
    --state->workers;
    if (state->workers == 0) {
        state->idle.notify_all();
    }
}

}  // namespace parlon
