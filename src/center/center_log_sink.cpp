#include "center/center_log_sink.h"

#include <cstdio>

namespace parlon {

CenterLogSink StderrLogSink() {
    return [](const std::string& line) {
        // One write per line, so lines of concurrent writers never interleave.
        const std::string text = line + "\n";
        std::fwrite(text.data(), 1, text.size(), stderr);
    };
}

}  // namespace parlon
