// CenterLogSink: where a center writes its log lines, one event per call and without a line
// feed. The sink is called on the center's own thread.
#pragma once

#include <functional>
#include <string>

namespace parlon {

using CenterLogSink = std::function<void(const std::string& line)>;

// Writes each line, with a line feed, to standard error in one write.
CenterLogSink StderrLogSink();

}  // namespace parlon
