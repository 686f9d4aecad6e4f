#include "cli/line_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <system_error>
#include <utility>

namespace parlon {

LineReader::LineReader(int fd, size_t maxLineBytes, LineHandler onLine)
    : m_fd(fd), m_maxLineBytes(maxLineBytes), m_onLine(std::move(onLine)) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(),
                                "cannot make the input reader's pipe");
    }
    m_wakeRead.Reset(pipeEnds[0]);
    m_wakeWrite.Reset(pipeEnds[1]);
    // When the thread cannot be started, the members close both ends as the exception leaves.
    m_thread = std::thread([this] { Run(); });
}

LineReader::~LineReader() {
    Stop();
}

void LineReader::Stop() {
    if (!m_thread.joinable()) {
        return;
    }
    const char wake = 1;
    while (::write(m_wakeWrite.Get(), &wake, 1) < 0 && errno == EINTR) {
    }
    m_thread.join();
}

void LineReader::Run() {
    char buffer[4096];
    for (;;) {
        pollfd waits[2] = {{m_fd, POLLIN, 0}, {m_wakeRead.Get(), POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (waits[1].revents != 0) {
            return;  // Stop()
        }
        if (waits[0].revents == 0) {
            continue;
        }
        const ssize_t count = ::read(m_fd, buffer, sizeof buffer);
        if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (count <= 0) {
            // End of input (or an input that cannot be read): the last unfinished line counts.
            if (!m_line.empty()) {
                m_onLine(std::move(m_line));
            }
            return;
        }
        Consume(buffer, static_cast<size_t>(count));
    }
}

void LineReader::Consume(const char* bytes, size_t count) {
    std::string_view rest(bytes, count);
    while (!rest.empty()) {
        const size_t feed = rest.find('\n');
        const std::string_view piece = rest.substr(0, feed);
        if (!m_skipping) {
            // Keep one byte beyond the limit so that the receiver sees the line was too long.
            const size_t room = m_maxLineBytes + 1 - m_line.size();
            m_line.append(piece.substr(0, room));
            m_skipping = m_line.size() > m_maxLineBytes;
        }
        if (feed == std::string_view::npos) {
            return;
        }
        m_onLine(std::exchange(m_line, {}));
        m_skipping = false;
        rest.remove_prefix(feed + 1);
    }
}

}  // namespace parlon
