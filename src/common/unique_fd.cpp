#include "common/unique_fd.h"

#include <unistd.h>

namespace parlon {

void UniqueFd::Reset(int fd) noexcept {
    if (m_fd >= 0 && m_fd != fd) {
        // Not retried on EINTR: on Linux the descriptor is released even then, and a second
        // close could hit a descriptor another thread has just opened.
        ::close(m_fd);
    }
    m_fd = fd;
}

}  // namespace parlon
