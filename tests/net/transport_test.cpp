// CenterConnection registering at scripted centers; PeerListener serving Send within its bounds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/read.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <future>

#include "net/asio_endpoint.h"
#include "net/center_connection.h"
#include "net/com_exception.h"
#include "net/exchange_pool.h"
#include "net/packet.h"
#include "net/peer_listener.h"
#include "net/socket_stream.h"
#include "queue/guarded_queue.h"
#include "support/test_support.h"

namespace parlon {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;
using Bytes = std::vector<uint8_t>;
using Clock = SocketStream::Clock;
using Center = std::function<void(tcp::socket&)>;

constexpr TransportDeadlines kShort{300ms, 300ms, 300ms};
const ParlonEntry kOwn = test::MakeEntry(7000, "me", "my key text");
const std::vector<ParlonEntry> kListed = {test::MakeEntry(7001, "alice", "key of alice"),
                                          test::MakeEntry(7002, "bob", "key of bob")};
const CenterSchedule kAnnounced{3, 123456, 500, 30000, 10000, 130000};
const Bytes kReply = test::BytesOf(EncodeCenterReply(kAnnounced, kListed));

bool SameEntries(const std::vector<ParlonEntry>& a, const std::vector<ParlonEntry>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof a[0]) == 0;
}

// Registers at `center` by the deadlines: true with the reply taken, false with the old kept.
bool RegisterAt(const PeerAddress& center, TransportDeadlines deadlines = kShort) {
    const std::vector<ParlonEntry> old = {test::MakeEntry(1, "old", "old key")};
    const CenterSchedule oldSchedule{9, 9, 9, 9, 9, 9};
    std::vector<ParlonEntry> list = old;
    CenterSchedule schedule = oldSchedule;
    const auto started = Clock::now();
    const bool registered = CenterConnection(kOwn, center, deadlines).Register(list, schedule);
    EXPECT_LT(Clock::now() - started, deadlines.registration + deadlines.connect + 1s);
    EXPECT_EQ(schedule, registered ? kAnnounced : oldSchedule);
    EXPECT_TRUE(SameEntries(list, registered ? kListed : old));
    return registered;
}

// Reads the own registration frame, answers it with `reply`, then closes or resets the connection.
Center AnswerWith(Bytes reply, bool reset = false) {
    return [reply, reset](tcp::socket& socket) {
        Bytes request(kRegistrationFrameSize);
        asio::read(socket, asio::buffer(request));
        ASSERT_EQ(request,
                  test::BytesOf(Packet(Registration, RegistrationRecord{kOwn, {}}).Encode()));
        socket.set_option(asio::socket_base::linger(reset, 0));
        asio::write(socket, asio::buffer(reply));
        socket.close();
    };
}

// Registers (on another thread) at a center that accepts, plays `center` and stays open.
bool RegisterWith(const Center& center, TransportDeadlines deadlines = kShort) {
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
    Bytes huge = kReply;
    huge.resize(kMaxCenterReplySize + 1, 0x33);
    const std::vector<std::pair<const char*, Center>> centers = {
        {"closes at once", [](tcp::socket& socket) { socket.close(); }},
        {"short by one byte", AnswerWith(Bytes(kReply.begin(), kReply.end() - 1))},
        {"garbage", AnswerWith(Bytes(200, 0xFF))},
        {"never answers", [](tcp::socket&) {}},
        {"resets mid-reply", AnswerWith(Bytes(kReply.begin(), kReply.begin() + 100), true)},
    };
    for (const auto& [name, center] : centers) {
        EXPECT_FALSE(RegisterWith(center)) << name;
    }
    EXPECT_FALSE(RegisterAt(test::UnusedPort())) << "nothing listening";
    EXPECT_FALSE(RegisterWith(AnswerWith(huge), {1s, 10s, 10s})) << "a reply above the bound";
}

// Jobs held by a vanished host hold up no other, and quitting never waits on network deadlines.
TEST(ExchangePoolTest, RunsUpToItsBoundAtOnceLingersNoLongerThanItsLimitAndDropsTheRest) {
    std::promise<void> gate;
    const auto held = std::make_shared<std::atomic<int>>(0);  // jobs waiting at the gate
    const auto ended = std::make_shared<std::atomic<int>>(0);
    const auto holdAtGate = [held, ended, opened = gate.get_future().share()] {
        ++*held;
        opened.wait();
        ++*ended;
    };
    const auto ranBeyondBound = std::make_shared<std::atomic<bool>>(false);
    auto mark = std::make_shared<int>();
    const std::weak_ptr<int> unstarted = mark;
    Clock::time_point closing;
    {
        ExchangePool pool(2, 300ms);
        pool.Submit(holdAtGate);
        pool.Submit([ended] { ++*ended; });
        ASSERT_TRUE(test::Eventually([&] { return *held == 1 && *ended == 1; }));
        pool.Submit(holdAtGate);
        ASSERT_TRUE(test::Eventually([&] { return *held == 2; }));
        pool.Submit([ranBeyondBound, mark = std::move(mark)] { *ranBeyondBound = true; });
        closing = Clock::now();
    }
    EXPECT_GE(Clock::now() - closing, 250ms);
    EXPECT_LT(Clock::now() - closing, 3s);
    EXPECT_TRUE(unstarted.expired());
    gate.set_value();
    EXPECT_TRUE(test::Eventually([&] { return *ended == 3; }));  // on their own threads
    EXPECT_FALSE(*ranBeyondBound);
}

// Lowers the soft limit of descriptors so that only `spare` more can be opened, until destroyed.
class DescriptorShortage {
  public:
    explicit DescriptorShortage(rlim_t spare) {
        ::getrlimit(RLIMIT_NOFILE, &m_saved);
        const int lowestFree = ::dup(STDERR_FILENO);
        ::close(lowestFree);
        rlimit lowered = m_saved;
        lowered.rlim_cur = static_cast<rlim_t>(lowestFree) + spare;
        ::setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~DescriptorShortage() { ::setrlimit(RLIMIT_NOFILE, &m_saved); }

  private:
    rlimit m_saved{};
};

// The status file of the listener's thread, the only one besides the main thread.
int OpenListenerStatus() {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        if (task.path().filename() != std::to_string(::getpid())) {
            return ::open((task.path() / "status").c_str(), O_RDONLY);
        }
    }
    return -1;
}

// How often a thread has slept by itself, read with plain calls (streams need descriptors).
long SleepsOf(int status) {
    constexpr std::string_view kField = "\nvoluntary_ctxt_switches:";
    char text[4096] = {};
    const char* field =
        ::pread(status, text, sizeof text - 1, 0) > 0 ? std::strstr(text, kField.data()) : nullptr;
    return field != nullptr ? std::atol(field + kField.size()) : -1;
}

// A connection to `address` by plain socket calls (no descriptor but its own); -1 when refused.
int ConnectTo(const PeerAddress& address) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in target{AF_INET, htons(address.port), {address.ip}, {}};
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A frame's header followed by `payload`.
Bytes Framed(std::string_view payload) {
    Bytes frame = {0xAA, 0x01, 0xEF, 0xAA, 0x46};
    frame.reserve(frame.size() + payload.size());  // spares GCC 12 a false bounds warning
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

class PeerListenerTest : public ::testing::Test {
  protected:
    void Start(PeerListener::Options options = {1s}) {
        std::string error;
        m_listener = PeerListener::Start({ParseIpv4("127.0.0.1"), 0}, m_queue, error, options);
        ASSERT_NE(m_listener, nullptr) << error;
        m_address = {ParseIpv4("127.0.0.1"), m_listener->Port()};
    }

    // Delivers `packet` the way a parlon with the entry `from` does.
    bool Send(const Bytes& packet, const ParlonEntry& from = kOwn) {
        return CenterConnection(from, test::UnusedPort(), {1s, 5s, 1s})
            .Send(m_address, ByteBuffer(std::span<const uint8_t>(packet)));
    }

    // Opens a connection and writes `bytes` (no header added) without ending it.
    std::unique_ptr<SocketStream> Open(const Bytes& bytes) {
        auto stream = std::make_unique<SocketStream>(m_address, Clock::now() + 5s);
        stream->WriteAll(bytes, Clock::now() + 5s);
        return stream;
    }

    std::optional<QueuedBlock> Next(std::chrono::milliseconds timeout = 5s) {
        std::optional<QueuedBlock> block;
        test::Eventually([&] { return (block = m_queue.TakeFront()).has_value(); }, timeout);
        return block;
    }
    std::optional<Bytes> NextPayload(std::chrono::milliseconds timeout = 5s) {
        const std::optional<QueuedBlock> block = Next(timeout);
        return block ? std::optional(test::BytesOf(block->bytes)) : std::nullopt;
    }

    // A marker sent now is the next payload: what was sent before and not come was dropped.
    void ExpectNothingElseQueued() {
        ASSERT_TRUE(Send({'m', 'a', 'r', 'k'}));
        EXPECT_EQ(NextPayload(), (Bytes{'m', 'a', 'r', 'k'}));
    }

    GuardedQueue m_queue;
    std::unique_ptr<PeerListener> m_listener;
    PeerAddress m_address;
};

TEST_F(PeerListenerTest, EveryPacketUpToTheBoundArrivesWholeWithItsSourceAndALargerIsDropped) {
    Start();
    constexpr size_t kLargest = kMaxPeerFrameSize - kFrameHeaderSize;
    for (const size_t length : {size_t{0}, size_t{1018}, size_t{1019}, size_t{1020}, size_t{1023},
                                size_t{1024}, size_t{1025}, size_t{5125}, kLargest}) {
        const Bytes packet = test::Pattern(length);
        ASSERT_TRUE(Send(packet)) << length;
        EXPECT_EQ(NextPayload(), packet) << length;
    }
    Send(test::Pattern(kLargest + 1));  // the sender may see the refusal as a reset
    ExpectNothingElseQueued();
    const Bytes header = Framed("");
    for (size_t length = 0; length < kFrameHeaderSize; ++length) {
        Open(Bytes(header.begin(), header.begin() + static_cast<std::ptrdiff_t>(length)))->Finish();
    }
    ExpectNothingElseQueued();
    // A payload comes with its source: the own entry's address when it is this machine's.
    const std::pair<const char*, const char*> sources[] = {
        {"127.0.0.2", "127.0.0.2"}, {"127.0.0.1", "127.0.0.1"}, {"192.0.2.1", "127.0.0.1"}};
    for (const auto& [own, seen] : sources) {
        ParlonEntry entry = kOwn;
        entry.ip = ParseIpv4(own);
        ASSERT_TRUE(Send({'p'}, entry));
        const std::optional<QueuedBlock> block = Next();
        ASSERT_TRUE(block.has_value());
        EXPECT_EQ(block->source.IpText(), seen) << own;
    }
}

// Connections are served side by side; one that began within the first-byte deadline may end
// after it, one slower than the whole deadline is dropped.
TEST_F(PeerListenerTest, SendersAreServedSideBySideWithinTheirDeadlines) {
    Start({.connectionDeadline = 2s, .firstByteDeadline = 200ms});
    std::unique_ptr<SocketStream> stalled = Open({0xAA, 0x01});
    std::unique_ptr<SocketStream> tooSlow = Open(test::Pattern(100));
    ExpectNothingElseQueued();
    EXPECT_FALSE(NextPayload(300ms).has_value());  // well past the first-byte deadline
    stalled->WriteAll(Bytes{0xEF, 0xAA, 0x46, 's'}, Clock::now() + 1s);
    stalled->Finish();
    EXPECT_EQ(NextPayload(), (Bytes{'s'}));
    try {  // the listener ends the connection at its deadline
        tooSlow->ReadToEnd(0, Clock::now() + 5s);
    } catch (const ComException& failure) {
        EXPECT_NE(failure.Error(), asio::error::timed_out);
    }
    tooSlow.reset();
    ExpectNothingElseQueued();
}

// A shortage of descriptors only pauses accepting; another accept error ends it and is reported,
// but a connection accepted before it is still served.
TEST_F(PeerListenerTest, AShortageOfDescriptorsOnlyPausesAcceptingAnotherErrorEndsIt) {
    Start();
    const int listenerStatus = OpenListenerStatus();  // opened while descriptors are free
    ASSERT_GE(listenerStatus, 0);
    const Bytes frame = Framed("late");
    {
        const DescriptorShortage shortage(1);
        const long asleep = SleepsOf(listenerStatus);
        // The connection takes the last descriptor, so the listener's accept finds none.
        const int fd = ConnectTo(m_address);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::send(fd, frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
        // Once the woken listener has slept twice, it has met the shortage and waits to retry.
        EXPECT_TRUE(test::Eventually([&] { return SleepsOf(listenerStatus) >= asleep + 2; }));
        ::close(fd);
    }
    ::close(listenerStatus);
    EXPECT_EQ(NextPayload(), (Bytes{'l', 'a', 't', 'e'}));
    std::unique_ptr<SocketStream> accepted = Open(Framed("a"));
    ExpectNothingElseQueued();  // accepting goes on, and `accepted` came first
    ASSERT_TRUE(test::BreakListeningSocket(::getpid(), m_listener->Port()));
    EXPECT_TRUE(test::Eventually([&] { return m_listener->Failed(); }));
    EXPECT_EQ(m_listener->FailureText(),
              "accepting on port " + std::to_string(m_address.port) + " failed: Invalid argument");
    EXPECT_FALSE(Send({'l', 'a', 't', 'e'}));
    accepted->Finish();
    EXPECT_EQ(NextPayload(), (Bytes{'a'}));
    EXPECT_TRUE(m_queue.IsEmpty());
    m_listener->Stop();  // and once more when destroyed
}

TEST_F(PeerListenerTest, ConnectionsBeyondTheBoundInAllAreClosedAtOnce) {
    Start({.connectionDeadline = 10s, .maxConnections = 3});  // each kept for its whole deadline
    test::Crowd crowd(ParseIpv4("127.0.0.2"), m_address, 4, 1);
    EXPECT_TRUE(test::Eventually([&] { return crowd.Ended() == 1; }, 2s));
    const Bytes packet = {'b', 'a', 'c', 'k'};
    EXPECT_FALSE(Send(packet) && NextPayload(200ms) == packet) << "a fourth was served";
    crowd.sockets.clear();
    EXPECT_TRUE(test::Eventually([&] { return Send(packet) && NextPayload(200ms) == packet; }));
}

}  // namespace
}  // namespace parlon
