// Small helpers shared by the test programs and the benchmarks: byte patterns, loopback ports,
// entries, and waiting on a condition with a deadline. Everything stays on 127.0.0.1.
//
// THREAD SAFETY: every function may be called from any thread.
#pragma once

#include <sys/types.h>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_buffer.h"
#include "common/wire_records.h"

namespace parlon::test {

// `length` pseudo-random bytes (the same each time), so that a lost, doubled or misplaced
// piece of a transfer shows.
std::vector<uint8_t> Pattern(size_t length);

// The bytes of `buffer`, for comparisons.
std::vector<uint8_t> BytesOf(const ByteBuffer& buffer);

// A loopback port with nothing bound to it, drawn outside the range the kernel picks ports from
// (when that range leaves room below it; else one the kernel picks).
PeerAddress UnusedPort();

// A parlon's entry on 127.0.0.1 with its own port, nickname and key text.
ParlonEntry MakeEntry(uint16_t port, std::string_view nickname, std::string_view key);

// The public key text of a real RSA key with a modulus of `bits` bits, made once per
// (bits, index) in this process: index tells several keys of one size apart.
const std::string& KeyText(size_t index, unsigned bits = 2048);

// A connection to `destination` from `source` (another loopback address, port 0 for any), so
// that a server sees another host; with `receiveBuffer`, that small a window.
asio::ip::tcp::socket ConnectFrom(uint32_t source, const PeerAddress& destination,
                                  std::optional<int> receiveBuffer = std::nullopt);

// Whether the peer has ended `socket`: a read sees the end or an error. What the peer sends is
// read and dropped, so `limit` bounds each wait for more, not the whole.
bool EndedByPeer(asio::ip::tcp::socket& socket, std::chrono::milliseconds limit);

// Connections from `source` to `destination` that stay open until the peer ends them, as a crowd
// of clients that never finish. Each sends the first `bytes` bytes of `frame(index)` (of a frame
// header, 0xAA, without one); a small receive buffer leaves most of what a server answers with
// the server.
class Crowd {
  public:
    using Frame = std::function<std::vector<uint8_t>(size_t index)>;
    Crowd(uint32_t source, const PeerAddress& destination, size_t count, size_t bytes,
          const Frame& frame = nullptr);
    // How many of the connections the peer has ended by now.
    size_t Ended();

    std::vector<asio::ip::tcp::socket> sockets;
};

// Registers `entry` at `center` over a connection from `source`: the listed entries, or
// nullopt when the center closed the connection without a reply.
std::optional<std::vector<ParlonEntry>> RegisterFrom(uint32_t source, const PeerAddress& center,
                                                     const ParlonEntry& entry);
// Sends a sign-off of `address` to `center` from `source` and waits until the center closed.
void SignOffFrom(uint32_t source, const PeerAddress& center, const PeerAddress& address);

// Makes the next accept on the socket with which process `pid` (this one or a child) listens on
// `port` fail with EINVAL, as a fault of the platform would, by shutting down its receiving side
// from outside its owner. False when there is no such socket or no access to it.
bool BreakListeningSocket(pid_t pid, uint16_t port);

// A loopback port that behaves like a host that vanished: its backlog is full and it never
// accepts, so a connect to it neither completes nor fails before its deadline.
class SilentPort {
  public:
    // On `port`, or on one the system picks when 0.
    explicit SilentPort(uint16_t port = 0);
    ~SilentPort();
    SilentPort(const SilentPort&) = delete;
    SilentPort& operator=(const SilentPort&) = delete;

    PeerAddress Address() const { return m_address; }

  private:
    int m_listener = -1;
    std::vector<int> m_fillers;  // connections that fill the backlog, the last one still waiting
    PeerAddress m_address;
};

// Polls `condition` until it holds or `deadline` passes; returns its last value. Several waits
// that share one deadline end together when what they wait for is lost.
bool EventuallyBy(const std::function<bool()>& condition,
                  std::chrono::steady_clock::time_point deadline);

// Polls `condition` until it holds or `timeout` passes; returns its last value.
bool Eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace parlon::test
