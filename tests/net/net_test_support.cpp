#include "net_test_support.h"

#include <sys/socket.h>
#include <unistd.h>

#include "net/asio_endpoint.h"

namespace parlon::test {

using asio::ip::tcp;

std::vector<uint8_t> Pattern(size_t length) {
    std::vector<uint8_t> bytes(length);
    uint32_t state = 0x12345678;
    for (uint8_t& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
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

std::error_code ComErrorOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const ComException& failure) {
        return failure.Error();
    }
    return {};
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

FullBacklog::FullBacklog() : m_acceptor(m_io) {
    const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), 0);
    m_acceptor.open(endpoint.protocol());
    m_acceptor.bind(endpoint);
    m_acceptor.listen(0);
    // With a backlog of 0 Linux still queues one connection; fill the queue with it (and a
    // spare, should the kernel queue two). The connects are started without waiting.
    const tcp::endpoint target = m_acceptor.local_endpoint();
    for (int i = 0; i < 2; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(fd, target.data(), static_cast<socklen_t>(target.size()));
        m_queued.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

FullBacklog::~FullBacklog() {
    for (const int fd : m_queued) {
        ::close(fd);
    }
}

PeerAddress FullBacklog::Address() const {
    return ToPeerAddress(m_acceptor.local_endpoint());
}

}  // namespace parlon::test
