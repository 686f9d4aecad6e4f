// StartBenchCenter: the center of a benchmark's own network on loopback. It logs nothing,
// answers at once (no reply time), lets no entry expire during a run (a register period of ten
// minutes) and switches lists every 10 ms, so that a node is listed as soon as it registers.
// On failure it prints why, after the name of the program, and returns null.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "center/center_thread.h"

namespace parlon::bench {

inline std::unique_ptr<CenterThread> StartBenchCenter(const char* program, uint32_t hopCount,
                                                      uint32_t pollPeriodMs) {
    std::string error;
    auto center = CenterThread::Start({.hopCount = hopCount,
                                       .pollPeriod = pollPeriodMs,
                                       .replyTime = 0,
                                       .registerPeriod = 600000,
                                       .switchPeriod = 10},
                                      error, [](const std::string&) {});
    if (!center) {
        std::fprintf(stderr, "%s: %s\n", program, error.c_str());
    }
    return center;
}

}  // namespace parlon::bench
