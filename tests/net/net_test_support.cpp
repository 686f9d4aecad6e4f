#include "net_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "net/asio_endpoint.h"

namespace parlon::test {

using asio::ip::tcp;

std::vector<uint8_t> Pattern(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>((i * 2654435761u) >> 20);
    }
    return bytes;
}

std::vector<uint8_t> BytesOf(const ByteBuffer& buffer) {
    return {buffer.Bytes().begin(), buffer.Bytes().end()};
}

PeerAddress UnusedPort() {
    asio::io_context io;
    tcp::acceptor probe(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    return ToPeerAddress(probe.local_endpoint());
}

ParlonEntry MakeEntry(uint16_t port, std::string_view nickname, std::string_view key) {
    ParlonEntry entry;
    entry.ip = ParseIpv4("127.0.0.1");
    entry.port = port;
    entry.SetNickname(nickname);
    entry.SetPublicKey(key);
    return entry;
}

SilentPort::SilentPort(uint16_t port) {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int reuse = 1;  // the port may have served connections a moment ago
    ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(m_listener, 0) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("SilentPort: cannot listen");
    }
    m_address = {address.sin_addr.s_addr, ntohs(address.sin_port)};
    // Connect until one connection is left waiting: from then on the backlog is full.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        m_fillers.push_back(filler);
        if (::connect(filler, reinterpret_cast<sockaddr*>(&address), length) == 0) {
            continue;
        }
        pollfd waiting{filler, POLLOUT, 0};
        if (::poll(&waiting, 1, 200) == 0) {
            return;
        }
    }
    throw std::runtime_error("SilentPort: the backlog never filled");
}

SilentPort::~SilentPort() {
    for (const int filler : m_fillers) {
        ::close(filler);
    }
    ::close(m_listener);
}

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace parlon::test
