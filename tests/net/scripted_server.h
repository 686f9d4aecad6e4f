// ScriptedServer: a TCP server on 127.0.0.1 (free port) that plays a fixed script on each
// connection it accepts, one connection after another, on a thread of its own. Stands in for a
// misbehaving center or a peer whose received bytes a test inspects.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "common/wire_records.h"

namespace parlon::test {

class ScriptedServer {
  public:
    // Runs on the server's thread with the accepted connection. Socket errors may be thrown
    // (std::system_error): they end that connection's script.
    using Script = std::function<void(asio::ip::tcp::socket&)>;

    explicit ScriptedServer(Script script);
    ~ScriptedServer();

    PeerAddress Address() const;
    // How many connections have been served to the end of their script.
    int Served() const { return m_served.load(); }

  private:
    void Serve();

    Script m_script;
    asio::io_context m_io;
    asio::ip::tcp::acceptor m_acceptor;
    const asio::ip::tcp::endpoint m_endpoint;  // read by other threads, so kept apart
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_served{0};
    std::thread m_thread;
};

// What scripts saw, handed to the test's thread: each Put is one connection's bytes.
class Captures {
  public:
    void Put(std::vector<uint8_t> bytes);
    // The next captured bytes, or nullopt when none come within `timeout`.
    std::optional<std::vector<uint8_t>> Take(std::chrono::milliseconds timeout);

  private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<std::vector<uint8_t>> m_items;  // guarded by m_mutex
};

// Script steps.
std::vector<uint8_t> ReadExactly(asio::ip::tcp::socket& socket, size_t count);
std::vector<uint8_t> ReadUntilClosed(asio::ip::tcp::socket& socket);
void WriteAll(asio::ip::tcp::socket& socket, const std::vector<uint8_t>& bytes);
// Closes with a reset (RST) instead of an orderly end.
void Reset(asio::ip::tcp::socket& socket);

}  // namespace parlon::test
