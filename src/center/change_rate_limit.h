// ChangeRateLimit: how often one source address may change a center's list. Every change
// makes the center encode the whole list afresh, so a source that changes entries without end
// would make it copy and send megabytes for each 422-byte request.
//
// A bucket per source: it holds up to `burst` changes and refills at `perMinute`. Buckets that
// are full again are forgotten, so the memory follows the sources active in the last minutes.
// Pure: no clock of its own, the center's time is passed in.
//
// THREAD SAFETY: none; the center's thread owns it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace parlon {

class ChangeRateLimit {
  public:
    using Millis = std::chrono::milliseconds;

    // REQUIRES: burst > 0, perMinute > 0.
    ChangeRateLimit(uint32_t burst, uint32_t perMinute);

    // True (and one change counted) when `source` may change the list at `now`.
    [[nodiscard]] bool TryTake(uint32_t source, Millis now);

    size_t TrackedSources() const noexcept { return m_buckets.size(); }

  private:
    struct Bucket {
        double tokens;
        Millis refilledAt;
    };
    double Refilled(const Bucket& bucket, Millis now) const;
    void ForgetFullBuckets(Millis now);

    const double m_burst;
    const double m_perMilli;
    std::unordered_map<uint32_t, Bucket> m_buckets;
    size_t m_forgetAbove;  // sweep for full buckets once this many are tracked
};

}  // namespace parlon
