#include "support/test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cryptopp/base64.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>

#include <algorithm>
#include <array>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

#include "net/asio_endpoint.h"
#include "net/packet.h"
#include "net/registration_record.h"
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

namespace {

// The first port of the range the kernel picks from for bind(0) and for outgoing connections.
uint16_t FirstEphemeralPort() {
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    unsigned first = 0;
    return range >> first && first <= 0xFFFF ? static_cast<uint16_t>(first) : 0;
}

}  // namespace

// A port the kernel hands out may be handed out again, to any connection of any process, in the
// moment between this probe and the test's own bind. A port below that range goes only to a bind
// that names it: ports are drawn from there at random, each probed, and the kernel's choice is
// the last resort.
PeerAddress UnusedPort() {
    constexpr uint16_t kLowest = 10000;
    static const uint16_t firstEphemeral = FirstEphemeralPort();
    thread_local std::mt19937 draw(std::random_device{}());
    asio::io_context io;
    const tcp::endpoint loopback(asio::ip::address_v4::loopback(), 0);
    for (int attempt = 0; attempt < 64 && firstEphemeral > kLowest; ++attempt) {
        const auto port =
            std::uniform_int_distribution<uint16_t>(kLowest, firstEphemeral - 1)(draw);
        tcp::acceptor probe(io, tcp::v4());
        std::error_code taken;
        probe.bind({loopback.address(), port}, taken);
        if (!taken) {
            return ToPeerAddress(probe.local_endpoint());
        }
    }
    return ToPeerAddress(tcp::acceptor(io, loopback).local_endpoint());
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

tcp::socket ConnectFrom(uint32_t source, const PeerAddress& destination,
                        std::optional<int> receiveBuffer) {
    static asio::io_context io;  // for blocking calls only: never run
    tcp::socket socket(io, tcp::v4());
    if (receiveBuffer) {  // before the connect, which settles the window
        socket.set_option(asio::socket_base::receive_buffer_size(*receiveBuffer));
    }
    socket.bind(ToEndpoint(PeerAddress{source, 0}));
    socket.connect(ToEndpoint(destination));
    return socket;
}

bool EndedByPeer(tcp::socket& socket, std::chrono::milliseconds limit) {
    pollfd waiting{socket.native_handle(), POLLIN, 0};
    std::array<char, 4096> bytes{};
    std::error_code error;
    while (!error && ::poll(&waiting, 1, static_cast<int>(limit.count())) == 1) {
        socket.read_some(asio::buffer(bytes), error);  // at once: there is something to read
    }
    return static_cast<bool>(error);
}

Crowd::Crowd(uint32_t source, const PeerAddress& destination, size_t count, size_t bytes,
             const Frame& frame) {
    for (size_t index = 0; index < count; ++index) {
        tcp::socket& socket = sockets.emplace_back(ConnectFrom(source, destination, 4096));
        const std::vector<uint8_t> first = frame ? frame(index) : std::vector<uint8_t>{0xAA};
        asio::write(socket, asio::buffer(first.data(), std::min(bytes, first.size())));
    }
}

size_t Crowd::Ended() {
    return static_cast<size_t>(std::ranges::count_if(
        sockets, [](tcp::socket& socket) { return EndedByPeer(socket, {}); }));
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

bool BreakListeningSocket(pid_t pid, uint16_t port) {
    // A copy of each of the process's descriptors in turn, taken through its pidfd.
    const auto process = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (process < 0) {
        return false;
    }
    bool broken = false;
    const std::filesystem::path descriptors = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& descriptor : std::filesystem::directory_iterator(descriptors)) {
        const int number = std::stoi(descriptor.path().filename().string());
        const auto fd = static_cast<int>(::syscall(SYS_pidfd_getfd, process, number, 0));
        if (fd < 0) {
            continue;  // closed meanwhile
        }
        sockaddr_in local{};
        socklen_t localSize = sizeof local;
        int listening = 0;
        socklen_t listeningSize = sizeof listening;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) == 0 &&
            local.sin_family == AF_INET && ntohs(local.sin_port) == port &&
            ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &listeningSize) == 0 &&
            listening != 0) {
            // The copy shares the socket with the original: the owner's pending accept wakes
            // and fails.
            broken = ::shutdown(fd, SHUT_RD) == 0;
        }
        ::close(fd);
        if (broken) {
            break;
        }
    }
    ::close(process);
    return broken;
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
