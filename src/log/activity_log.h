// ActivityLog: the plain-text activity log, one stamped line per event.
//
// Each line is "<" + the 24 characters of the ctime() text of the local time + "> " + the text
// unchanged + one line feed. The file is opened for appending (created when missing, never
// truncated), so several writers may share it and every line lands at the then-current end.
// A new file is readable by its owner only (0600); a symbolic link in its place is refused.
//
// THREAD SAFETY: none; one owner thread writes.
#pragma once

#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "common/unique_fd.h"

namespace parlon {

class ActivityLog {
  public:
    using Clock = std::function<std::time_t()>;

    // Opens `fileName` for appending. Throws std::system_error whose what() names the file and
    // the reason when it cannot be opened (ELOOP when it is a symbolic link).
    explicit ActivityLog(std::filesystem::path fileName, Clock clock = DefaultClock);
    ActivityLog(const ActivityLog&) = delete;
    ActivityLog& operator=(const ActivityLog&) = delete;

    // Writes one line: time stamp, text, line feed, in one write at the end of the file.
    // Throws std::system_error naming the file when the write fails.
    void Append(std::string_view text);

    // "<" + the first 24 characters of ctime(time) + "> ", with the day of the month in two
    // digits and English names, whatever the locale.
    static std::string TimeStamp(std::time_t time);

  private:
    static std::time_t DefaultClock() { return std::time(nullptr); }

    std::filesystem::path m_fileName;
    Clock m_clock;
    UniqueFd m_fd;
};

}  // namespace parlon
