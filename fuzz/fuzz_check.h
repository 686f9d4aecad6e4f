// FuzzCheck: what a fuzz target asserts about the outcome of its input. A broken promise ends
// the run like a crash (abort), so that libFuzzer keeps the input that broke it. Unlike
// assert, it holds in every build type.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace parlon::fuzz {

inline void FuzzCheck(bool holds, const char* promise) {
    if (!holds) {
        std::fprintf(stderr, "broken promise: %s\n", promise);
        std::abort();
    }
}

}  // namespace parlon::fuzz
