// LogLines: the log lines of an in-process center, gathered for a test's questions. The sink
// is called on the center's thread, the questions come from the test's.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "center/center_settings.h"

namespace parlon::test {

class LogLines {
  public:
    CenterLogSink Sink() {
        return [this](const std::string& line) {
            std::lock_guard lock(m_mutex);
            m_lines.push_back(line);
        };
    }
    // How many lines contain `text`.
    size_t Count(const std::string& text) const {
        std::lock_guard lock(m_mutex);
        return static_cast<size_t>(std::ranges::count_if(m_lines, [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        }));
    }
    std::string All() const {
        std::lock_guard lock(m_mutex);
        std::string all;
        for (const std::string& line : m_lines) {
            all += line + "\n";
        }
        return all;
    }

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;  // guarded by m_mutex
};

}  // namespace parlon::test
