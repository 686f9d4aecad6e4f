// Small helpers shared by the transport and center tests. Everything stays on 127.0.0.1.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

#include "common/wire_records.h"
#include "net/com_exception.h"

namespace parlon::test {

// `length` pseudo-random bytes (the same each time), so that a lost, doubled or misplaced
// piece of a transfer shows.
std::vector<uint8_t> Pattern(size_t length);

// A loopback port with nothing listening on it (bound, then closed again).
PeerAddress UnusedPort();

// A parlon's entry with its own address, key text and nickname.
ParlonEntry MakeEntry(uint16_t port, std::string_view nickname, std::string_view key);

// The error of the ComException that `operation` throws; a success code when none is thrown.
std::error_code ComErrorOf(const std::function<void()>& operation);

// Polls `condition` until it holds or `timeout` passes; returns its last value.
bool Eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(5));

// A listener on loopback whose accept queue is full and never drained: the kernel drops
// further connection requests, so a connect to it hangs until its own deadline.
class FullBacklog {
  public:
    FullBacklog();
    FullBacklog(const FullBacklog&) = delete;
    FullBacklog& operator=(const FullBacklog&) = delete;
    ~FullBacklog();
    PeerAddress Address() const;

  private:
    asio::io_context m_io;
    asio::ip::tcp::acceptor m_acceptor;
    std::vector<int> m_queued;  // descriptors of the connections that fill the queue
};

}  // namespace parlon::test
