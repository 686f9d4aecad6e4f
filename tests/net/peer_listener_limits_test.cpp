// PeerListener under a crowd: a shortage of descriptors only delays accepting, and connections
// beyond the bound are closed at once while those within it are served.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "net/center_connection.h"
#include "net/peer_listener.h"
#include "net/socket_stream.h"
#include "net_test_support.h"
#include "queue/guarded_queue.h"

namespace parlon {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = SocketStream::Clock;

// Takes every free descriptor of this process (under a lowered soft limit) until destroyed,
// then gives them back and restores the limit.
class DescriptorShortage {
  public:
    DescriptorShortage() {
        ::getrlimit(RLIMIT_NOFILE, &m_saved);
        rlimit lowered = m_saved;
        lowered.rlim_cur = static_cast<rlim_t>(HighestDescriptor() + 32);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
        for (int fd = ::open("/dev/null", O_RDONLY); fd >= 0; fd = ::open("/dev/null", O_RDONLY)) {
            m_taken.push_back(fd);
        }
    }
    ~DescriptorShortage() {
        for (const int fd : m_taken) {
            ::close(fd);
        }
        ::setrlimit(RLIMIT_NOFILE, &m_saved);
    }
    DescriptorShortage(const DescriptorShortage&) = delete;
    DescriptorShortage& operator=(const DescriptorShortage&) = delete;

    // Whether every descriptor was taken: the next open fails.
    bool Complete() const { return !m_taken.empty() && errno == EMFILE; }
    // Gives one descriptor back for the next socket.
    void FreeOne() {
        ::close(m_taken.back());
        m_taken.pop_back();
    }

  private:
    static int HighestDescriptor() {
        int highest = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            highest = std::max(highest, std::stoi(entry.path().filename().string()));
        }
        return highest;
    }

    rlimit m_saved{};
    std::vector<int> m_taken;
};

// A connection made with the plain socket calls, which need no descriptor but its own.
int ConnectTo(const PeerAddress& address) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return fd;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = address.ip;
    target.sin_port = htons(address.port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether the peer has closed `fd` within `limit` (a read sees the end or a reset).
bool ClosedByPeer(int fd, std::chrono::milliseconds limit) {
    pollfd waiting{fd, POLLIN, 0};
    if (::poll(&waiting, 1, static_cast<int>(limit.count())) != 1) {
        return false;
    }
    char byte = 0;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

class PeerListenerLimitsTest : public ::testing::Test {
  protected:
    void Start(PeerListener::Options options) {
        std::string error;
        m_listener = PeerListener::Start(0, m_queue, error, options);
        ASSERT_NE(m_listener, nullptr) << error;
        m_address = {ParseIpv4("127.0.0.1"), m_listener->Port()};
    }

    bool Send(const Bytes& packet) {
        CenterConnection sender(test::MakeEntry(1, "sender", "key"), test::UnusedPort(),
                                {1s, 5s, 1s});
        return sender.Send(m_address, ByteBuffer(std::span<const uint8_t>(packet)));
    }

    std::optional<Bytes> NextPayload(std::chrono::milliseconds timeout = 5s) {
        std::optional<ByteBuffer> payload;
        test::Eventually([&] { return (payload = m_queue.TakeFront()).has_value(); }, timeout);
        if (!payload) {
            return std::nullopt;
        }
        return Bytes(payload->Bytes().begin(), payload->Bytes().end());
    }

    GuardedQueue m_queue;
    std::unique_ptr<PeerListener> m_listener;
    PeerAddress m_address;
};

TEST_F(PeerListenerLimitsTest, AShortageOfDescriptorsOnlyDelaysAccepting) {
    Start({5s});
    const Bytes frame = {0xAA, 0x01, 0xEF, 0xAA, 0x00, 'l', 'a', 't', 'e'};
    {
        DescriptorShortage shortage;
        ASSERT_TRUE(shortage.Complete());
        shortage.FreeOne();
        // The connection takes the last descriptor, so the listener's accept finds none.
        const int fd = ConnectTo(m_address);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::send(fd, frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
        std::this_thread::sleep_for(300ms);  // the listener meets the shortage meanwhile
        ::close(fd);
    }
    EXPECT_EQ(NextPayload(), Bytes(frame.begin() + 5, frame.end()));
    EXPECT_FALSE(m_listener->Failed()) << m_listener->FailureText();
    const Bytes after = {'a', 'f', 't', 'e', 'r'};
    ASSERT_TRUE(Send(after));
    EXPECT_EQ(NextPayload(), after);
}

TEST_F(PeerListenerLimitsTest, ConnectionsBeyondTheBoundAreClosedAtOnce) {
    constexpr size_t kBound = 8;
    Start({5s, kBound});
    std::vector<int> silent;
    for (size_t index = 0; index < kBound; ++index) {
        silent.push_back(ConnectTo(m_address));
        ASSERT_GE(silent.back(), 0);
    }
    // The bound is reached once the listener has accepted them all; until then a newcomer
    // may still be taken in place of one of them, so newcomers are tried until one is refused.
    bool refused = false;
    for (int attempt = 0; attempt < 20 && !refused; ++attempt) {
        const int extra = ConnectTo(m_address);
        ASSERT_GE(extra, 0);
        refused = ClosedByPeer(extra, 1s);
        if (refused) {
            ::close(extra);
        } else {
            silent.push_back(extra);
        }
    }
    EXPECT_TRUE(refused) << "no connection beyond the bound was closed";
    EXPECT_EQ(silent.size(), kBound) << "the listener kept more than its bound";
    for (const int fd : silent) {
        EXPECT_FALSE(ClosedByPeer(fd, 0ms)) << "a connection within the bound was closed early";
    }
    // Once the crowd leaves, frames are served again (a frame sent before the listener has
    // seen them go is still refused).
    for (const int fd : silent) {
        ::close(fd);
    }
    const Bytes packet = {'b', 'a', 'c', 'k'};
    EXPECT_TRUE(test::Eventually([&] { return Send(packet) && NextPayload(200ms) == packet; }));
    EXPECT_FALSE(m_listener->Failed());
}

}  // namespace
}  // namespace parlon
