// AsyncReadToEnd: reads a connection until the peer closes it, refusing more than a bound.
//
// A frame has no length field: its end is the peer's closing of the connection. Both the
// blocking client side (SocketStream) and the listener read frames this way.
#pragma once

#include <asio/error.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <cstddef>
#include <cstdint>
#include <system_error>
#include <utility>
#include <vector>

namespace parlon {

// Appends everything the peer sends to `bytes` until it closes, then calls
// handler(std::error_code): no error when the peer closed after at most `maxBytes` bytes,
// asio::error::message_size as soon as more than `maxBytes` have arrived (reading stops there),
// or the error that ended the read. `socket` and `bytes` must live until the handler runs.
template <typename Handler>
void AsyncReadToEnd(asio::ip::tcp::socket& socket, std::vector<uint8_t>& bytes, size_t maxBytes,
                    Handler&& handler) {
    // One byte of room beyond the bound tells "exactly maxBytes" from "more than maxBytes".
    asio::async_read(socket, asio::dynamic_buffer(bytes, maxBytes + 1),
                     [handler = std::forward<Handler>(handler)](std::error_code error,
                                                                size_t /*transferred*/) mutable {
                         if (error == asio::error::eof) {
                             error = {};
                         } else if (!error) {
                             // A read to the end completes without error only when the buffer
                             // reached its limit before the peer closed.
                             error = asio::error::message_size;
                         }
                         handler(error);
                     });
}

}  // namespace parlon
