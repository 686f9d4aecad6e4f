// A TCP port on 127.0.0.1 that is free right now (the system picks it for a socket bound to
// port 0, which is then closed). For tests and tools that start listeners.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdint>

namespace parlon::testing {

inline uint16_t FreeLoopbackPort() {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io,
                                     asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    return acceptor.local_endpoint().port();
}

}  // namespace parlon::testing
