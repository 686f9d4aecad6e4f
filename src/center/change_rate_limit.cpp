#include "center/change_rate_limit.h"

#include <algorithm>
#include <cassert>

namespace parlon {

namespace {

constexpr size_t kFirstSweepAt = 1024;

}  // namespace

ChangeRateLimit::ChangeRateLimit(uint32_t burst, uint32_t perMinute)
    : m_burst(burst), m_perMilli(perMinute / 60000.0), m_forgetAbove(kFirstSweepAt) {
    assert(burst > 0 && perMinute > 0);
}

double ChangeRateLimit::Refilled(const Bucket& bucket, Millis now) const {
    const auto elapsed =
        static_cast<double>(std::max<int64_t>(0, (now - bucket.refilledAt).count()));
    return std::min(m_burst, bucket.tokens + elapsed * m_perMilli);
}

bool ChangeRateLimit::TryTake(uint32_t source, Millis now) {
    if (m_buckets.size() >= m_forgetAbove) {
        ForgetFullBuckets(now);
    }
    const auto [found, added] = m_buckets.try_emplace(source, Bucket{m_burst, now});
    Bucket& bucket = found->second;
    bucket.tokens = Refilled(bucket, now);
    bucket.refilledAt = now;
    if (bucket.tokens < 1.0) {
        return false;
    }
    bucket.tokens -= 1.0;
    return true;
}

void ChangeRateLimit::ForgetFullBuckets(Millis now) {
    std::erase_if(m_buckets,
                  [&](const auto& item) { return Refilled(item.second, now) >= m_burst; });
    // Sweep again when the tracked sources have doubled, so sweeping stays linear overall.
    m_forgetAbove = std::max(kFirstSweepAt, 2 * m_buckets.size());
}

}  // namespace parlon
