#include "net_test_support.h"

#include <cryptopp/base64.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>

#include <asio/read.hpp>
#include <asio/write.hpp>
#include <map>
#include <mutex>
#include <thread>

#include "net/asio_endpoint.h"
#include "net/packet.h"
#include "net/wire_format.h"

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

const std::string& KeyText(size_t index, unsigned bits) {
    static std::mutex mutex;
    static std::map<std::pair<size_t, unsigned>, std::string> made;
    const std::lock_guard lock(mutex);
    std::string& text = made[{index, bits}];
    if (text.empty()) {
        CryptoPP::AutoSeededRandomPool rng;
        CryptoPP::InvertibleRSAFunction key;
        key.Initialize(rng, bits, 17);
        CryptoPP::Base64Encoder encoder(new CryptoPP::StringSink(text), true, 72);
        CryptoPP::RSAFunction(key).DEREncode(encoder);
        encoder.MessageEnd();
    }
    return text;
}

tcp::socket ConnectFrom(uint32_t source, const PeerAddress& destination) {
    static asio::io_context io;  // for blocking calls only: never run
    tcp::socket socket(io, tcp::v4());
    socket.bind(ToEndpoint(PeerAddress{source, 0}));
    socket.connect(ToEndpoint(destination));
    return socket;
}

namespace {

// Writes `frame` from `source`, keeps its side open as a parlon does, reads to the end.
std::vector<uint8_t> Exchange(uint32_t source, const PeerAddress& center, const ByteBuffer& frame) {
    tcp::socket socket = ConnectFrom(source, center);
    asio::write(socket, asio::buffer(frame.Data(), frame.Length()));
    std::vector<uint8_t> reply;
    std::error_code end;
    asio::read(socket, asio::dynamic_buffer(reply), end);
    return reply;
}

}  // namespace

std::optional<std::vector<ParlonEntry>> RegisterFrom(uint32_t source, const PeerAddress& center,
                                                     const ParlonEntry& entry) {
    const std::vector<uint8_t> reply =
        Exchange(source, center, Packet(Registration, RegistrationRecord{entry, {}}).Encode());
    std::vector<ParlonEntry> listed;
    CenterSchedule schedule;
    if (reply.empty() ||
        !Packet(ByteBuffer(std::span<const uint8_t>(reply))).ReadCenterReply(listed, schedule)) {
        return std::nullopt;
    }
    return listed;
}

void SignOffFrom(uint32_t source, const PeerAddress& center, const PeerAddress& address) {
    ParlonEntry named;
    named.ip = address.ip;
    named.port = address.port;
    Exchange(source, center, Packet(SignOff, RegistrationRecord{named, {}}).Encode());
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
