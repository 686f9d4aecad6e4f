// The transport on loopback: CenterConnection against scripted centers, and PeerListener
// taking frames from CenterConnection::Send, concurrently and within its bounds.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <asio/read.hpp>
#include <asio/write.hpp>
#include <cstring>
#include <future>
#include <thread>

#include "net/asio_endpoint.h"
#include "net/center_connection.h"
#include "net/com_exception.h"
#include "net/packet.h"
#include "net/peer_listener.h"
#include "net/socket_stream.h"
#include "net_test_support.h"
#include "queue/guarded_queue.h"

namespace parlon {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;
using Bytes = std::vector<uint8_t>;
using Clock = SocketStream::Clock;

constexpr TransportDeadlines kShort{300ms, 300ms, 300ms};
const ParlonEntry kOwn = test::MakeEntry(7000, "me", "my key text");
const std::vector<ParlonEntry> kListed = {test::MakeEntry(7001, "alice", "key of alice"),
                                          test::MakeEntry(7002, "bob", "key of bob")};
const CenterSchedule kAnnounced{3, 123456, 500, 30000, 10000, 130000};
const Bytes kReply = test::BytesOf(EncodeCenterReply(kAnnounced, kListed));

// Registers at `center` into a list and schedule that hold something else: true with both
// replaced by the announced ones, or false by the deadlines (the sign-off by the destructor
// included) with both untouched.
bool RegisterAt(const PeerAddress& center, TransportDeadlines deadlines = kShort) {
    const std::vector<ParlonEntry> old = {test::MakeEntry(1, "old", "old key")};
    const CenterSchedule oldSchedule{9, 9, 9, 9, 9, 9};
    std::vector<ParlonEntry> list = old;
    CenterSchedule schedule = oldSchedule;
    const auto started = Clock::now();
    const bool registered = CenterConnection(kOwn, center, deadlines).Register(list, schedule);
    EXPECT_LT(Clock::now() - started, deadlines.registration + deadlines.connect + 1s);
    EXPECT_EQ(schedule, registered ? kAnnounced : oldSchedule);
    const std::vector<ParlonEntry>& expected = registered ? kListed : old;
    EXPECT_TRUE(list.size() == expected.size() &&
                std::memcmp(list.data(), expected.data(), list.size() * kParlonEntrySize) == 0);
    return registered;
}

// A loopback listener whose accept queue is full and never drained: the kernel drops further
// connection requests, so a connect to it hangs until its own deadline.
struct FullBacklog {
    FullBacklog() {
        acceptor.listen(0);  // Linux still queues one connection: the first of these two
        queued.reserve(2);
        for (int i = 0; i < 2; ++i) {
            queued.emplace_back(io).async_connect(acceptor.local_endpoint(), [](auto) {});
        }
        io.run_for(50ms);
    }
    asio::io_context io;
    tcp::acceptor acceptor{io, tcp::endpoint(asio::ip::address_v4::loopback(), 0)};
    std::vector<tcp::socket> queued;
};

// Reads the own registration frame (its sender's side left open), answers it with `reply`,
// and then closes, keeps the connection open or resets it.
enum class Then { Close, Stall, Reset };
std::function<void(tcp::socket&)> AnswerWith(Bytes reply, Then then = Then::Close) {
    return [reply, then](tcp::socket& socket) {
        Bytes request(kRegistrationFrameSize);
        asio::read(socket, asio::buffer(request));
        ASSERT_EQ(request,
                  test::BytesOf(Packet(Registration, RegistrationRecord{kOwn, {}}).Encode()));
        socket.set_option(asio::socket_base::linger(then == Then::Reset, 0));
        asio::write(socket, asio::buffer(reply));
        if (then != Then::Stall) {
            socket.close();
        }
    };
}

// Registers (on another thread) at a center that accepts the connection, plays `center` and
// keeps what is left of the connection open until the registration has ended.
bool RegisterWith(const std::function<void(tcp::socket&)>& center,
                  TransportDeadlines deadlines = kShort) {
    asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    std::future<bool> registered = std::async(std::launch::async, [&] {
        return RegisterAt(ToPeerAddress(acceptor.local_endpoint()), deadlines);
    });
    tcp::socket socket(io);
    acceptor.accept(socket);
    try {
        center(socket);
    } catch (const std::system_error&) {  // the client gave up first
    }
    return registered.get();
}

TEST(RegisterTest, TakesTheReplyOrFailsByTheDeadlineWhateverTheCenterDoes) {
    EXPECT_TRUE(RegisterWith(AnswerWith(kReply)));
    const Bytes head(kReply.begin(), kReply.begin() + 100);
    const std::vector<std::pair<const char*, std::function<void(tcp::socket&)>>> centers = {
        {"closes at once", [](tcp::socket& socket) { socket.close(); }},
        {"short by one byte", AnswerWith(Bytes(kReply.begin(), kReply.end() - 1))},
        {"garbage", AnswerWith(Bytes(200, 0xFF))},
        {"never answers", [](tcp::socket&) {}},
        {"stalls mid-reply", AnswerWith(head, Then::Stall)},
        {"resets mid-reply", AnswerWith(head, Then::Reset)},
    };
    for (const auto& [name, center] : centers) {
        EXPECT_FALSE(RegisterWith(center)) << name;
    }
    EXPECT_FALSE(RegisterAt(test::UnusedPort())) << "nothing listening";
    const FullBacklog full;
    EXPECT_FALSE(RegisterAt(ToPeerAddress(full.acceptor.local_endpoint())))
        << "never accepts: the connect deadline";
    Bytes huge = kReply;
    huge.resize(kMaxCenterReplySize + 1, 0x33);
    EXPECT_FALSE(RegisterWith(AnswerWith(huge), {1s, 10s, 10s})) << "a reply above the bound";
}

class PeerListenerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        m_listener = PeerListener::Start(0, m_queue, error, {1s});
        ASSERT_NE(m_listener, nullptr) << error;
        m_address = {ParseIpv4("127.0.0.1"), m_listener->Port()};
    }

    // Delivers `packet` the way another parlon does.
    bool Send(const Bytes& packet) {
        return CenterConnection(kOwn, test::UnusedPort(), kShort)
            .Send(m_address, ByteBuffer(std::span<const uint8_t>(packet)));
    }

    // Opens a connection and writes `bytes` (no header added) without ending it.
    std::unique_ptr<SocketStream> Open(const Bytes& bytes) {
        auto stream = std::make_unique<SocketStream>(m_address, Clock::now() + 5s);
        stream->WriteAll(bytes, Clock::now() + 5s);
        return stream;
    }

    std::optional<Bytes> NextPayload() {
        std::optional<ByteBuffer> payload;
        test::Eventually([&] { return (payload = m_queue.TakeFront()).has_value(); });
        return payload ? std::optional(test::BytesOf(*payload)) : std::nullopt;
    }

    // A marker sent now is the next payload: what was sent before and has not come was dropped.
    void ExpectNothingElseQueued() {
        ASSERT_TRUE(Send({'m', 'a', 'r', 'k'}));
        EXPECT_EQ(NextPayload(), (Bytes{'m', 'a', 'r', 'k'}));
    }

    GuardedQueue m_queue;
    std::unique_ptr<PeerListener> m_listener;
    PeerAddress m_address;
};

TEST_F(PeerListenerTest, EveryPacketUpToTheBoundArrivesWholeAndALargerOneIsDropped) {
    constexpr size_t kLargest = kMaxPeerFrameSize - kFrameHeaderSize;
    for (const size_t length : {size_t{0}, size_t{1018}, size_t{1019}, size_t{1020}, size_t{1023},
                                size_t{1024}, size_t{1025}, size_t{5125}, kLargest}) {
        const Bytes packet = test::Pattern(length);
        ASSERT_TRUE(Send(packet)) << length;
        EXPECT_EQ(NextPayload(), packet) << length;
    }
    Send(test::Pattern(kLargest + 1));  // the sender may see the refusal as a reset
    ExpectNothingElseQueued();
    const Bytes header = {0xAA, 0x01, 0xEF, 0xAA, 0x46};
    for (size_t length = 0; length < kFrameHeaderSize; ++length) {
        Open(Bytes(header.begin(), header.begin() + static_cast<std::ptrdiff_t>(length)))->Finish();
    }
    ExpectNothingElseQueued();
}

TEST_F(PeerListenerTest, SendersAreServedConcurrentlyInCompletionOrderAndTheSlowDropped) {
    std::unique_ptr<SocketStream> stalled = Open({0xAA, 0x01, 0xEF, 0xAA, 0x46, 's'});
    std::unique_ptr<SocketStream> tooSlow = Open(test::Pattern(100));
    const Bytes first = test::Pattern(70000);
    const Bytes second(50000, 0x42);
    bool secondSent = false;
    std::thread other([&] { secondSent = Send(second); });
    EXPECT_TRUE(Send(first));
    other.join();
    EXPECT_TRUE(secondSent);
    const std::optional<Bytes> a = NextPayload();
    const std::optional<Bytes> b = NextPayload();
    EXPECT_TRUE((a == first && b == second) || (a == second && b == first));
    stalled->Finish();  // began first, completes third
    EXPECT_EQ(NextPayload(), (Bytes{'s'}));
    try {  // the listener ends the connection at its deadline
        tooSlow->ReadToEnd(0, Clock::now() + 5s);
    } catch (const ComException& failure) {
        EXPECT_NE(failure.Error(), asio::error::timed_out);
    }
    tooSlow.reset();
    ExpectNothingElseQueued();
}

TEST_F(PeerListenerTest, ATakenPortAndAnAcceptFailureAreReportedAndAfterStopNothingIsQueued) {
    std::string error;
    EXPECT_EQ(PeerListener::Start(m_listener->Port(), m_queue, error), nullptr);
    EXPECT_EQ(error, "cannot listen on port " + std::to_string(m_listener->Port()) +
                         ": Address already in use");
    std::unique_ptr<SocketStream> midFrame = Open({0xAA, 0x01, 0xEF, 0xAA, 0x46, 'x'});
    ExpectNothingElseQueued();  // and midFrame, which came first, has been accepted
    // Shuts the listening socket down under the listener's feet: its pending accept then
    // fails (EINVAL) as a real accept error would.
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in bound{};
        socklen_t size = sizeof bound;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size) == 0 &&
            bound.sin_family == AF_INET && ntohs(bound.sin_port) == m_listener->Port() &&
            bound.sin_addr.s_addr == INADDR_ANY) {
            ASSERT_EQ(::shutdown(fd, SHUT_RDWR), 0);
        }
    }
    EXPECT_TRUE(test::Eventually([&] { return m_listener->Failed(); }));
    EXPECT_EQ(m_listener->FailureText(), "accepting on port " + std::to_string(m_listener->Port()) +
                                             " failed: Invalid argument");
    EXPECT_FALSE(Send({'l', 'a', 't', 'e'}));
    m_listener->Stop();
    m_listener->Stop();
    try {
        midFrame->Finish();  // accepted before the failure, ended after Stop
    } catch (const ComException&) {
    }
    EXPECT_TRUE(m_queue.IsEmpty());
}

}  // namespace
}  // namespace parlon
