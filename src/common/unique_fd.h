// UniqueFd: the sole owner of one open file descriptor, which it closes when it is destroyed or
// given another. Move-only, so that exactly one object closes each descriptor; -1 stands for
// none.
//
// THREAD SAFETY: none; like an int, one thread at a time. Get() may be read by other threads
// while the owner keeps the descriptor open.
#pragma once

#include <utility>

namespace parlon {

class UniqueFd {
  public:
    UniqueFd() noexcept = default;
    // Takes `fd` (or -1) over.
    explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        Reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const noexcept { return m_fd; }
    bool IsOpen() const noexcept { return m_fd >= 0; }

    // Closes the descriptor held, if any, and takes `fd` over.
    void Reset(int fd = -1) noexcept;

  private:
    int m_fd = -1;
};

}  // namespace parlon
