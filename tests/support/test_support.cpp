#include "support/test_support.h"

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

bool EventuallyBy(const std::function<bool()>& condition,
                  std::chrono::steady_clock::time_point deadline) {
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    return EventuallyBy(condition, std::chrono::steady_clock::now() + timeout);
}

}  // namespace parlon::test
