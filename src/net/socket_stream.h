// SocketStream: one outgoing TCP connection whose every operation is bounded by a deadline.
//
// Each stream owns a private io_context and waits for its own asynchronous operations with
// run_until, so a blocking exchange never waits past its deadline and two streams never share
// state. A failing operation (refused, reset, short write, deadline passed, size bound
// exceeded) throws ComException carrying the system error code; after a throw the stream is
// closed and only destruction is left.
//
// THREAD SAFETY: one thread uses a stream.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <system_error>

#include "common/byte_buffer.h"
#include "common/wire_records.h"

namespace parlon {

class SocketStream {
  public:
    using Clock = std::chrono::steady_clock;

    // Connects to `destination`, from the local IPv4 address `sourceIp` (network order) when
    // it is one of this machine's, else (and when it is 0) from the address the system picks.
    // Throws ComException when the connection is refused or fails, or when `deadline` passes
    // first (asio::error::timed_out).
    SocketStream(const PeerAddress& destination, Clock::time_point deadline, uint32_t sourceIp = 0);
    SocketStream(const SocketStream&) = delete;
    SocketStream& operator=(const SocketStream&) = delete;
    // Closes the connection if still open; never throws.
    ~SocketStream();

    // Writes every byte or throws ComException.
    void WriteAll(std::span<const uint8_t> bytes, Clock::time_point deadline);

    // Reads until the peer closes its side. Throws ComException with asio::error::message_size
    // when more than `maxBytes` arrive, or with the error or time-out that ended the read.
    ByteBuffer ReadToEnd(size_t maxBytes, Clock::time_point deadline);

    // Ends the sending direction, so that the peer reads the end of the frame, then closes.
    // Throws ComException when the connection has already failed.
    void Finish();

  private:
    // Runs the pending operation until it completes or `deadline` passes. On a time-out the
    // socket is closed and the aborted operation drained. Throws ComException on failure.
    void Await(Clock::time_point deadline);
    void CloseQuietly() noexcept;

    asio::io_context m_io;
    asio::ip::tcp::socket m_socket;
    std::optional<std::error_code> m_result;  // set by the completion of the pending operation
};

}  // namespace parlon
