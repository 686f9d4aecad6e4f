#include "net/socket_stream.h"

#include <asio/connect.hpp>
#include <asio/write.hpp>
#include <utility>
#include <vector>

#include "net/asio_endpoint.h"
#include "net/com_exception.h"
#include "net/read_to_end.h"

namespace parlon {

// The io_context and the socket may fail to get their descriptors (for example when the
// process has run out of them); that is a failed connection like any other, so their
// std::system_error becomes a ComException.
SocketStream::SocketStream(const PeerAddress& destination, Clock::time_point deadline,
                           uint32_t sourceIp) try
    : m_io(1), m_socket(m_io) {
    if (sourceIp != 0) {
        // A failed bind (an address that is not this machine's) leaves the choice to the
        // system; a failed open is reported by the connect, which opens the socket itself.
        std::error_code ignored;
        m_socket.open(asio::ip::tcp::v4(), ignored);
        if (!ignored) {
            m_socket.bind(ToEndpoint({sourceIp, 0}), ignored);
        }
    }
    m_socket.async_connect(ToEndpoint(destination),
                           [this](std::error_code error) { m_result = error; });
    Await(deadline);
    std::error_code ignored;
    m_socket.set_option(asio::ip::tcp::no_delay(true), ignored);
} catch (const std::system_error& failure) {
    throw ComException(failure.code());
}

SocketStream::~SocketStream() {
    CloseQuietly();
}

void SocketStream::WriteAll(std::span<const uint8_t> bytes, Clock::time_point deadline) {
    asio::async_write(m_socket, asio::buffer(bytes.data(), bytes.size()),
                      [this](std::error_code error, size_t) { m_result = error; });
    Await(deadline);
}

ByteBuffer SocketStream::ReadToEnd(size_t maxBytes, Clock::time_point deadline) {
    std::vector<uint8_t> bytes;
    AsyncReadToEnd(m_socket, bytes, maxBytes, [this](std::error_code error) { m_result = error; });
    Await(deadline);
    return ByteBuffer(std::span<const uint8_t>(bytes));
}

void SocketStream::Finish() {
    std::error_code error;
    m_socket.shutdown(asio::ip::tcp::socket::shutdown_send, error);
    if (!error) {
        m_socket.close(error);
    }
    if (error) {
        CloseQuietly();
        throw ComException(error);
    }
}

void SocketStream::Await(Clock::time_point deadline) {
    m_result.reset();
    try {
        m_io.restart();
        m_io.run_until(deadline);
        if (!m_result) {
            // The deadline passed first: closing aborts the operation, whose handler must run
            // before the stream may be used or destroyed.
            CloseQuietly();
            m_io.restart();
            m_io.run();
            m_result = make_error_code(asio::error::timed_out);
        }
    } catch (const std::system_error& failure) {
        CloseQuietly();
        throw ComException(failure.code());
    }
    if (*m_result) {
        CloseQuietly();
        throw ComException(*m_result);
    }
}

void SocketStream::CloseQuietly() noexcept {
    std::error_code ignored;
    m_socket.close(ignored);
}

}  // namespace parlon
