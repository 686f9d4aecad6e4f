#include "log/activity_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace parlon {

namespace {

[[noreturn]] void ThrowFileError(int error, const char* action, const std::filesystem::path& file,
                                 const char* why = "") {
    throw std::system_error(
        error, std::generic_category(),
        std::string("cannot ") + action + " activity log \"" + file.string() + "\"" + why);
}

}  // namespace

ActivityLog::ActivityLog(std::filesystem::path fileName, Clock clock)
    : m_fileName(std::move(fileName)),
      m_clock(std::move(clock)),
      // The log may hold what was sent and to whom: readable by its owner only, and never
      // written through a symbolic link that someone else put in its place. An existing file
      // keeps its mode.
      m_fd(::open(m_fileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW,
                  0600)) {
    if (!m_fd.IsOpen() && errno == ELOOP) {
        ThrowFileError(ELOOP, "open", m_fileName, " (a symbolic link, which is not followed)");
    }
    if (!m_fd.IsOpen()) {
        ThrowFileError(errno, "open", m_fileName);
    }
}

void ActivityLog::Append(std::string_view text) {
    // One write per line: with O_APPEND the whole line lands at the current end, so lines of
    // two writers sharing the file never interleave within a line.
    std::string line = TimeStamp(m_clock());
    line.append(text);
    line.push_back('\n');
    size_t written = 0;
    while (written < line.size()) {
        ssize_t result = ::write(m_fd.Get(), line.data() + written, line.size() - written);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowFileError(errno, "write", m_fileName);
        }
        written += static_cast<size_t>(result);
    }
}

std::string ActivityLog::TimeStamp(std::time_t time) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    ::localtime_r(&time, &local);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "<%s %s %02d %02d:%02d:%02d %04d> ",
                  kDays[local.tm_wday % 7], kMonths[local.tm_mon % 12], local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec, local.tm_year + 1900);
    return stamp;
}

}  // namespace parlon
