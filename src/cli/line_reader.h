// LineReader: reads lines from a file descriptor (the node's standard input) on a thread of its
// own and hands each line, without its line feed, to a handler on that thread. At the end of the
// input the last unfinished line is handed over and the thread ends quietly; nothing else
// happens (the node goes on without input).
//
// A line longer than `maxLineBytes` is handed over cut to maxLineBytes + 1 bytes, so that the
// receiver can tell it was too long; the rest of it is skipped.
//
// The descriptor is not owned. The handler must stay callable until Stop() returns.
//
// THREAD SAFETY: construction, Stop and destruction from one owner thread; the handler runs on
// the reader's thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <thread>

#include "common/unique_fd.h"

namespace parlon {

class LineReader {
  public:
    using LineHandler = std::function<void(std::string line)>;

    // Starts reading. Throws std::system_error when the thread's wake-up pipe cannot be made.
    LineReader(int fd, size_t maxLineBytes, LineHandler onLine);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Wakes the reader if it waits for input, and joins it. Idempotent.
    void Stop();

  private:
    void Run();
    // Splits freshly read bytes into lines and hands over each finished one.
    void Consume(const char* bytes, size_t count);

    const int m_fd;
    const size_t m_maxLineBytes;
    const LineHandler m_onLine;
    UniqueFd m_wakeRead;   // the reader waits on this beside m_fd
    UniqueFd m_wakeWrite;  // Stop() writes one byte here
    std::string m_line;    // the line being read (reader's thread only)
    bool m_skipping = false;
    std::thread m_thread;
};

}  // namespace parlon
