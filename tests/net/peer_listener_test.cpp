// PeerListener: frames in, payloads out on the queue, concurrently, bounded, and stoppable.
#include "net/peer_listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "net/asio_endpoint.h"
#include "net/center_connection.h"
#include "net/socket_stream.h"
#include "net_test_support.h"
#include "queue/guarded_queue.h"
#include "scripted_server.h"

namespace parlon {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = SocketStream::Clock;

constexpr auto kConnectionDeadline = 400ms;

class PeerListenerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        m_listener = PeerListener::Start(0, m_queue, error, {kConnectionDeadline});
        ASSERT_NE(m_listener, nullptr) << error;
        m_address = {ParseIpv4("127.0.0.1"), m_listener->Port()};
    }

    // Delivers `packet` the way another parlon does.
    bool Send(const Bytes& packet) {
        CenterConnection sender(test::MakeEntry(1, "sender", "key"), test::UnusedPort(),
                                {1s, 5s, 1s});
        return sender.Send(m_address, ByteBuffer(std::span<const uint8_t>(packet)));
    }

    // Opens a connection and writes `bytes` without ending it.
    std::unique_ptr<SocketStream> Open(const Bytes& bytes) {
        auto stream = std::make_unique<SocketStream>(m_address, Clock::now() + 5s);
        stream->WriteAll(bytes, Clock::now() + 5s);
        return stream;
    }

    // Writes `frame` as it stands (no header added) and ends the connection.
    void SendRaw(const Bytes& frame) { Open(frame)->Finish(); }

    // The next payload on the queue, waiting up to `timeout` for it.
    std::optional<Bytes> NextPayload(std::chrono::milliseconds timeout = 5000ms) {
        std::optional<ByteBuffer> payload;
        test::Eventually([&] { return (payload = m_queue.TakeFront()).has_value(); }, timeout);
        if (!payload) {
            return std::nullopt;
        }
        return Bytes(payload->Bytes().begin(), payload->Bytes().end());
    }

    // Sends a marker and expects it to be the next payload: whatever was sent before it and
    // has not arrived was dropped.
    void ExpectNothingElseQueued() {
        const Bytes marker = {'m', 'a', 'r', 'k'};
        ASSERT_TRUE(Send(marker));
        EXPECT_EQ(NextPayload(), marker);
    }

    GuardedQueue m_queue;
    std::unique_ptr<PeerListener> m_listener;
    PeerAddress m_address;
};

class PacketSizeTest : public PeerListenerTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(PacketSizeTest, APacketArrivesWhole) {
    const Bytes packet = test::Pattern(GetParam());
    ASSERT_TRUE(Send(packet));
    EXPECT_EQ(NextPayload(), packet);
    EXPECT_FALSE(m_listener->Failed());
}

// Around the 1024-byte pieces of a read, a multi-piece packet, and the largest frame taken.
INSTANTIATE_TEST_SUITE_P(Sizes, PacketSizeTest,
                         ::testing::Values(0, 1, 1018, 1019, 1020, 1023, 1024, 1025, 5125,
                                           kMaxPeerFrameSize - kFrameHeaderSize));

TEST_F(PeerListenerTest, AFrameOverTheBoundIsDroppedAndServingGoesOn) {
    // The sender may see the refusal as a reset; what matters is what the queue gets.
    Send(test::Pattern(kMaxPeerFrameSize - kFrameHeaderSize + 1));
    ExpectNothingElseQueued();
}

TEST_F(PeerListenerTest, FramesShorterThanTheHeaderAreDropped) {
    const Bytes header = {0xAA, 0x01, 0xEF, 0xAA, 0x46};
    for (size_t length = 0; length < kFrameHeaderSize; ++length) {
        SendRaw(Bytes(header.begin(), header.begin() + static_cast<std::ptrdiff_t>(length)));
    }
    ExpectNothingElseQueued();
}

TEST_F(PeerListenerTest, AFrameIsUnframedWhateverItsMagic) {
    SendRaw({'n', 'o', 't', 'm', 'x', 'p', 'a', 'y'});
    EXPECT_EQ(NextPayload(), (Bytes{'p', 'a', 'y'}));
}

TEST_F(PeerListenerTest, TwoConcurrentSendersAreBothQueued) {
    const Bytes first = test::Pattern(70000);
    const Bytes second(50000, 0x42);
    bool firstSent = false;
    bool secondSent = false;
    std::thread other([&] { secondSent = Send(second); });
    firstSent = Send(first);
    other.join();
    ASSERT_TRUE(firstSent && secondSent);
    const std::optional<Bytes> a = NextPayload();
    const std::optional<Bytes> b = NextPayload();
    ASSERT_TRUE(a && b);
    EXPECT_TRUE((*a == first && *b == second) || (*a == second && *b == first));
}

TEST_F(PeerListenerTest, AStalledSenderDoesNotHoldUpAnotherAndIsQueuedWhenItCloses) {
    // The stalled frame began first but completes second: payloads come in completion order.
    std::unique_ptr<SocketStream> stalled = Open({0xAA, 0x01, 0xEF, 0xAA, 0x46, 's'});
    const Bytes quick = {'q', 'u', 'i', 'c', 'k'};
    ASSERT_TRUE(Send(quick));
    EXPECT_EQ(NextPayload(), quick);
    stalled->Finish();
    EXPECT_EQ(NextPayload(), (Bytes{'s'}));
}

TEST_F(PeerListenerTest, ASenderThatOutlivesTheDeadlineIsDropped) {
    asio::io_context io;
    asio::ip::tcp::socket stalled(io);
    stalled.connect(ToEndpoint(m_address));
    test::WriteAll(stalled, test::Pattern(100));
    // The listener closes the connection at its deadline, which makes our side readable.
    pollfd closedByListener{stalled.native_handle(), POLLIN, 0};
    ASSERT_EQ(::poll(&closedByListener, 1, 5000), 1);
    std::error_code ignored;
    stalled.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    stalled.close();
    ExpectNothingElseQueued();
}

TEST_F(PeerListenerTest, APortThatIsTakenFailsWithAReadableError) {
    std::string error;
    GuardedQueue otherQueue;
    EXPECT_EQ(PeerListener::Start(m_listener->Port(), otherQueue, error), nullptr);
    EXPECT_NE(error.find(std::to_string(m_listener->Port())), std::string::npos) << error;
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    EXPECT_FALSE(m_listener->Failed());
}

TEST_F(PeerListenerTest, AfterStopNothingIsAcceptedOrQueued) {
    std::unique_ptr<SocketStream> midFrame = Open({0xAA, 0x01, 0xEF, 0xAA, 0x46, 'x'});
    m_listener->Stop();
    m_listener->Stop();
    test::ComErrorOf([&] { midFrame->Finish(); });  // the listener may have reset it
    EXPECT_FALSE(Send({'l', 'a', 't', 'e'}));
    EXPECT_TRUE(m_queue.IsEmpty());
    EXPECT_FALSE(m_listener->Failed());
}

TEST_F(PeerListenerTest, StopFreesThePortForTheNextListener) {
    const uint16_t port = m_listener->Port();
    m_listener->Stop();
    std::string error;
    m_listener = PeerListener::Start(port, m_queue, error, {kConnectionDeadline});
    ASSERT_NE(m_listener, nullptr) << error;
    const Bytes packet = {'a', 'g', 'a', 'i', 'n'};
    ASSERT_TRUE(Send(packet));
    EXPECT_EQ(NextPayload(), packet);
}

// Shuts down the listening socket on `port` under the listener's feet, found among this
// process's descriptors: its pending accept then fails (EINVAL), as a real accept error would.
bool BreakListeningSocket(uint16_t port) {
    for (int fd = 0; fd < 1024; ++fd) {
        int listening = 0;
        socklen_t size = sizeof listening;
        sockaddr_in bound{};
        socklen_t boundSize = sizeof bound;
        if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundSize) == 0 &&
            ntohs(bound.sin_port) == port) {
            return ::shutdown(fd, SHUT_RDWR) == 0;
        }
    }
    return false;
}

TEST_F(PeerListenerTest, AnAcceptFailureEndsTheListenerAndIsReported) {
    ASSERT_TRUE(BreakListeningSocket(m_listener->Port()));
    EXPECT_TRUE(test::Eventually([&] { return m_listener->Failed(); }));
    EXPECT_NE(m_listener->FailureText().find("accepting"), std::string::npos)
        << m_listener->FailureText();
    EXPECT_FALSE(Send({'l', 'a', 't', 'e'}));
    m_listener->Stop();
    EXPECT_TRUE(m_queue.IsEmpty());
}

}  // namespace
}  // namespace parlon
