// The transport on loopback: CenterConnection registering at scripted centers, and
// PeerListener taking frames from CenterConnection::Send, concurrently and within its bounds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "net/asio_endpoint.h"
#include "net/center_connection.h"
#include "net/com_exception.h"
#include "net/connections_per_source.h"
#include "net/exchange_pool.h"
#include "net/packet.h"
#include "net/peer_listener.h"
#include "net/pooled_center_link.h"
#include "net/socket_stream.h"
#include "queue/guarded_queue.h"
#include "support/test_support.h"

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

// Reads the own registration frame (its sender's side left open), answers it with `reply`,
// then closes the connection, or resets it.
std::function<void(tcp::socket&)> AnswerWith(Bytes reply, bool reset = false) {
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
    const std::vector<std::pair<const char*, std::function<void(tcp::socket&)>>> centers = {
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
    Bytes huge = kReply;
    huge.resize(kMaxCenterReplySize + 1, 0x33);
    EXPECT_FALSE(RegisterWith(AnswerWith(huge), {1s, 10s, 10s})) << "a reply above the bound";
}

// The pooled link hands the registration over and returns; its outcome is taken once, after
// the exchange: the reply of a center that answers, a failure from one that is silent.
TEST(RegisterTest, APooledRegistrationIsTakenOnceWhenItHasEnded) {
    auto pool = std::make_shared<ExchangePool>();
    const test::SilentPort silent;
    const auto outcomeAt = [&](const PeerAddress& center) {
        PooledCenterLink link(kOwn, center, pool, kShort);
        link.StartRegistration();
        std::optional<RegistrationOutcome> outcome;
        EXPECT_TRUE(
            test::Eventually([&] { return (outcome = link.TakeRegistration()).has_value(); }));
        EXPECT_FALSE(link.TakeRegistration().has_value());
        return outcome.value_or(RegistrationOutcome{});
    };
    EXPECT_FALSE(outcomeAt(silent.Address()).accepted);

    asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    std::thread center([&] {
        tcp::socket socket(io);
        acceptor.accept(socket);
        AnswerWith(kReply)(socket);
    });
    const RegistrationOutcome answered = outcomeAt(ToPeerAddress(acceptor.local_endpoint()));
    center.join();
    EXPECT_TRUE(answered.accepted);
    EXPECT_EQ(answered.schedule, kAnnounced);
    EXPECT_EQ(answered.parlons.size(), kListed.size());
}

// At most maxInFlight jobs run at once; the rest start in the order handed over, a job handed
// over with SubmitFirst ahead of them. Destruction waits for the jobs no longer than its
// linger limit and destroys, unrun, those that had not started.
TEST(ExchangePoolTest, RunsABoundedNumberAtOnceInOrderAndLingersNoLongerThanItsLimit) {
    // Shared with the jobs, which may outlive the pool (and this test's frame).
    struct Jobs {
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false;          // guarded by mutex; jobs wait until it is set
        std::vector<int> started;   // guarded by mutex
        std::atomic<int> unrun{0};  // jobs destroyed without having run
        std::atomic<int> ended{0};

        void SetOpen(bool value) {
            std::lock_guard lock(mutex);
            open = value;
            opened.notify_all();
        }
        std::vector<int> Started() {
            std::lock_guard lock(mutex);
            return started;
        }
    };
    struct RunMark {
        explicit RunMark(std::shared_ptr<Jobs> of) : jobs(std::move(of)) {}
        RunMark(const RunMark&) = delete;
        std::shared_ptr<Jobs> jobs;
        bool ran = false;
        ~RunMark() { jobs->unrun += ran ? 0 : 1; }
    };
    const auto jobs = std::make_shared<Jobs>();
    const auto job = [jobs](int id) {
        return [jobs, id, mark = std::make_shared<RunMark>(jobs)] {
            mark->ran = true;
            std::unique_lock lock(jobs->mutex);
            jobs->started.push_back(id);
            jobs->opened.wait(lock, [&] { return jobs->open; });
            ++jobs->ended;
        };
    };
    Clock::time_point closing;
    {
        ExchangePool pool(2, 300ms);
        for (int id = 1; id <= 4; ++id) {
            pool.Submit(job(id));
        }
        ASSERT_TRUE(test::Eventually([&] { return jobs->Started().size() == 2; }));
        EXPECT_EQ(pool.InFlight(), 2u);
        pool.SubmitFirst(job(0));
        std::vector<int> first = jobs->Started();
        std::ranges::sort(first);
        EXPECT_EQ(first, (std::vector<int>{1, 2}));
        jobs->SetOpen(true);
        ASSERT_TRUE(test::Eventually([&] { return jobs->ended == 5; }));
        const std::vector<int> all = jobs->Started();
        EXPECT_EQ(std::vector<int>(all.begin() + 2, all.end()), (std::vector<int>{0, 3, 4}));

        jobs->SetOpen(false);
        for (int id = 5; id <= 7; ++id) {
            pool.Submit(job(id));
        }
        ASSERT_TRUE(test::Eventually([&] { return jobs->Started().size() == 7; }));
        closing = Clock::now();
    }
    EXPECT_GE(Clock::now() - closing, 250ms);
    EXPECT_LT(Clock::now() - closing, 3s);
    EXPECT_EQ(jobs->unrun.load(), 1);  // job 7; 5 and 6 still run on their own threads
    jobs->SetOpen(true);
    EXPECT_TRUE(test::Eventually([&] { return jobs->ended == 7; }));
}

// Lowers the soft limit of descriptors to the lowest free one plus `spare`, so that only
// `spare` more can be opened; restores the limit when destroyed.
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

// How often a thread has gone to sleep by itself, read again from its open `status` file with
// plain calls: under a shortage of descriptors, streams (and sanitizer checks) fail.
long SleepsOf(int status) {
    constexpr std::string_view kField = "\nvoluntary_ctxt_switches:";
    char text[4096] = {};
    const char* field =
        ::pread(status, text, sizeof text - 1, 0) > 0 ? std::strstr(text, kField.data()) : nullptr;
    return field != nullptr ? std::atol(field + kField.size()) : -1;
}

// A connection made with the plain socket calls, which need no descriptor but its own.
// A connection to `address` from `source` (a loopback address; 127.0.0.1 by default).
int ConnectTo(const PeerAddress& address, const char* source = "127.0.0.1") {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in from{AF_INET, 0, {ParseIpv4(source)}, {}};
    const sockaddr_in target{AF_INET, htons(address.port), {address.ip}, {}};
    if (fd >= 0 &&
        (::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
         ::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether the peer has closed `fd` within `limit` (a read sees the end or a reset).
bool ClosedByPeer(int fd, std::chrono::milliseconds limit) {
    pollfd waiting{fd, POLLIN, 0};
    char byte = 0;
    return ::poll(&waiting, 1, static_cast<int>(limit.count())) == 1 &&
           ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

class PeerListenerTest : public ::testing::Test {
  protected:
    void Start(PeerListener::Options options = {1s}) {
        std::string error;
        m_listener = PeerListener::Start({ParseIpv4("127.0.0.1"), 0}, m_queue, error, options);
        ASSERT_NE(m_listener, nullptr) << error;
        m_address = {ParseIpv4("127.0.0.1"), m_listener->Port()};
    }

    // Delivers `packet` the way another parlon does.
    bool Send(const Bytes& packet) {
        return CenterConnection(kOwn, test::UnusedPort(), {1s, 5s, 1s})
            .Send(m_address, ByteBuffer(std::span<const uint8_t>(packet)));
    }

    // Opens a connection and writes `bytes` (no header added) without ending it.
    std::unique_ptr<SocketStream> Open(const Bytes& bytes) {
        auto stream = std::make_unique<SocketStream>(m_address, Clock::now() + 5s);
        stream->WriteAll(bytes, Clock::now() + 5s);
        return stream;
    }

    std::optional<Bytes> NextPayload(std::chrono::milliseconds timeout = 5s) {
        std::optional<QueuedBlock> payload;
        test::Eventually([&] { return (payload = m_queue.TakeFront()).has_value(); }, timeout);
        return payload ? std::optional(test::BytesOf(payload->bytes)) : std::nullopt;
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
    const Bytes header = {0xAA, 0x01, 0xEF, 0xAA, 0x46};
    for (size_t length = 0; length < kFrameHeaderSize; ++length) {
        Open(Bytes(header.begin(), header.begin() + static_cast<std::ptrdiff_t>(length)))->Finish();
    }
    ExpectNothingElseQueued();
}

TEST_F(PeerListenerTest, SendersAreServedConcurrentlyInCompletionOrderAndTheSlowDropped) {
    Start();
    std::unique_ptr<SocketStream> stalled = Open({0xAA, 0x01, 0xEF, 0xAA, 0x46, 's'});
    std::unique_ptr<SocketStream> tooSlow = Open(test::Pattern(100));
    const Bytes first = test::Pattern(kMaxPeerFrameSize - kFrameHeaderSize);
    const Bytes second(20000, 0x42);
    std::future<bool> secondSent = std::async(std::launch::async, [&] { return Send(second); });
    EXPECT_TRUE(Send(first));
    EXPECT_TRUE(secondSent.get());
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

// A payload is queued with the address of its connection's other end, and a parlon sends from
// the address of its own entry when that is one of this machine's (all of 127/8 is).
TEST_F(PeerListenerTest, APacketComesWithTheAddressItCameFromTheSendersOwnWhenItCanBe) {
    Start();
    const std::pair<const char*, const char*> cases[] = {
        {"127.0.0.2", "127.0.0.2"}, {"127.0.0.1", "127.0.0.1"}, {"192.0.2.1", "127.0.0.1"}};
    for (const auto& [own, seen] : cases) {
        ParlonEntry entry = kOwn;
        entry.ip = ParseIpv4(own);
        ASSERT_TRUE(CenterConnection(entry, test::UnusedPort(), {1s, 5s, 1s})
                        .Send(m_address, ByteBuffer(std::span<const uint8_t>(Bytes{'p'}))));
        std::optional<QueuedBlock> payload;
        ASSERT_TRUE(test::Eventually([&] { return (payload = m_queue.TakeFront()).has_value(); }));
        EXPECT_EQ(payload->source.IpText(), seen) << own;
    }
}

TEST_F(PeerListenerTest, ATakenPortIsReportedAndAfterStopNothingIsQueued) {
    Start();
    std::string error;
    EXPECT_EQ(PeerListener::Start(m_address, m_queue, error), nullptr);
    EXPECT_EQ(error, "cannot listen on port " + std::to_string(m_listener->Port()) +
                         ": Address already in use");
    std::unique_ptr<SocketStream> midFrame = Open({0xAA, 0x01, 0xEF, 0xAA, 0x46, 'x'});
    ExpectNothingElseQueued();  // and midFrame, which came first, has been accepted
    m_listener->Stop();
    m_listener->Stop();
    midFrame.reset();  // accepted before Stop, ended after it
    EXPECT_FALSE(Send({'l', 'a', 't', 'e'}));
    EXPECT_TRUE(m_queue.IsEmpty());
}

TEST_F(PeerListenerTest, AnAcceptErrorOtherThanAShortageEndsTheListenerAndIsReported) {
    Start();
    std::unique_ptr<SocketStream> accepted = Open({0xAA, 0x01, 0xEF, 0xAA, 0x46, 'a'});
    ExpectNothingElseQueued();  // and `accepted`, which came first, has been accepted
    ASSERT_TRUE(test::BreakListeningSocket(::getpid(), m_listener->Port()));
    EXPECT_TRUE(test::Eventually([&] { return m_listener->Failed(); }));
    EXPECT_EQ(m_listener->FailureText(), "accepting on port " + std::to_string(m_listener->Port()) +
                                             " failed: Invalid argument");
    EXPECT_FALSE(Send({'l', 'a', 't', 'e'}));
    accepted->Finish();  // a connection accepted before the error is still served
    EXPECT_EQ(NextPayload(), (Bytes{'a'}));
}

TEST_F(PeerListenerTest, AShortageOfDescriptorsOnlyPausesAccepting) {
    Start();
    const int listenerStatus = OpenListenerStatus();  // opened while descriptors are free
    ASSERT_GE(listenerStatus, 0);
    const Bytes frame = {0xAA, 0x01, 0xEF, 0xAA, 0x00, 'l', 'a', 't', 'e'};
    {
        const DescriptorShortage shortage(1);
        const long asleep = SleepsOf(listenerStatus);
        // The connection takes the last descriptor, so the listener's accept finds none.
        const int fd = ConnectTo(m_address);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::send(fd, frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
        // Woken by the connection, the listener meets the shortage; once it has slept twice
        // since, it has tried to accept and is waiting to try again.
        EXPECT_TRUE(test::Eventually([&] { return SleepsOf(listenerStatus) >= asleep + 2; }));
        ::close(fd);
    }
    ::close(listenerStatus);
    EXPECT_EQ(NextPayload(), Bytes(frame.begin() + 5, frame.end()));
    EXPECT_FALSE(m_listener->Failed()) << m_listener->FailureText();
    ExpectNothingElseQueued();
}

// The own address is bound when it is this machine's; any other (one that a router forwards
// here, say) leaves the port open on every local address.
TEST(PeerListenerBindTest, BindsTheOwnAddressWhenItIsLocalElseEveryAddress) {
    const struct {
        const char* own;
        bool onEveryAddress;
    } cases[] = {{"127.0.0.2", false}, {"192.0.2.1", true}, {"0.0.0.0", true}};
    for (const auto& c : cases) {
        GuardedQueue queue;
        std::string error;
        const auto listener = PeerListener::Start({ParseIpv4(c.own), 0}, queue, error);
        ASSERT_NE(listener, nullptr) << c.own << ": " << error;
        for (const char* target : {"127.0.0.2", "127.0.0.3"}) {
            const int fd = ConnectTo({ParseIpv4(target), listener->Port()});
            EXPECT_EQ(fd >= 0, c.onEveryAddress || target == std::string(c.own))
                << c.own << " reached on " << target;
            ::close(fd);
        }
    }
}

TEST(ConnectionsPerSourceTest, EachSourceHoldsItsBoundAndSlotsGiveTheirPlaceBack) {
    ConnectionsPerSource counter(2);
    const uint32_t a = ParseIpv4("127.0.0.2"), b = ParseIpv4("127.0.0.3");
    std::optional<ConnectionsPerSource::Slot> first = counter.TryOpen(a);
    std::optional<ConnectionsPerSource::Slot> second = counter.TryOpen(a);
    ASSERT_TRUE(first && second);
    EXPECT_FALSE(counter.TryOpen(a));  // a third from a is refused and not counted
    std::optional<ConnectionsPerSource::Slot> other = counter.TryOpen(b);
    EXPECT_TRUE(other);
    EXPECT_EQ(counter.OpenFrom(a), 2u);
    // A moved slot is given back once, by its last holder.
    std::optional<ConnectionsPerSource::Slot> moved = std::move(first);
    first.reset();
    EXPECT_EQ(counter.OpenFrom(a), 2u);
    moved.reset();
    EXPECT_EQ(counter.OpenFrom(a), 1u);
    EXPECT_TRUE(counter.TryOpen(a));  // a temporary: given back at once
    second = std::move(other);        // a's second slot goes, b's now lives in `second`
    EXPECT_EQ(counter.OpenFrom(a), 0u);
    EXPECT_EQ(counter.SourceCount(), 1u);  // sources without connections are forgotten
    second.reset();
    EXPECT_EQ(counter.SourceCount(), 0u);
}

// `count` connections from `source` that send one byte each (so that only the whole deadline
// ends them).
std::vector<int> Crowd(const PeerAddress& address, const char* source, size_t count) {
    std::vector<int> crowd(count);
    for (int& fd : crowd) {
        fd = ConnectTo(address, source);
        EXPECT_EQ(::send(fd, "\xAA", 1, 0), 1);
    }
    return crowd;
}

size_t ClosedCount(const std::vector<int>& crowd) {
    return static_cast<size_t>(
        std::count_if(crowd.begin(), crowd.end(), [](int fd) { return ClosedByPeer(fd, 0ms); }));
}

void CloseAll(const std::vector<int>& crowd) {
    std::for_each(crowd.begin(), crowd.end(), ::close);
}

TEST_F(PeerListenerTest, ConnectionsBeyondTheBoundsInAllAndPerSourceAreClosedAtOnce) {
    // Each connection would be kept for its whole deadline.
    Start({.connectionDeadline = 10s, .maxConnections = 6, .maxConnectionsPerSource = 4});
    const std::vector<int> greedy = Crowd(m_address, "127.0.0.2", 5);
    EXPECT_TRUE(test::Eventually([&] { return ClosedCount(greedy) == 1; }, 2s));
    const std::vector<int> others = Crowd(m_address, "127.0.0.3", 3);  // 7 of 6 in all
    EXPECT_TRUE(test::Eventually([&] { return ClosedCount(others) == 1; }, 2s));
    const Bytes packet = {'b', 'a', 'c', 'k'};
    EXPECT_FALSE(Send(packet) && NextPayload(200ms) == packet) << "a seventh was served";
    // One source at its bound leaves room for another once the crowd in all has gone.
    CloseAll(others);
    EXPECT_TRUE(test::Eventually([&] { return Send(packet) && NextPayload(200ms) == packet; }));
    EXPECT_EQ(ClosedCount(greedy), 1u);
    CloseAll(greedy);
    EXPECT_FALSE(m_listener->Failed());
}

TEST_F(PeerListenerTest, ASilentConnectionEndsAtTheFirstByteDeadlineAndASlowFrameStillArrives) {
    Start({.connectionDeadline = 10s, .firstByteDeadline = 200ms});
    const int silent = ConnectTo(m_address);
    std::unique_ptr<SocketStream> slow = Open({0xAA, 0x01});
    EXPECT_TRUE(ClosedByPeer(silent, 2s));
    ::close(silent);
    EXPECT_FALSE(NextPayload(300ms).has_value());  // well past the first-byte deadline
    slow->WriteAll(Bytes{0xEF, 0xAA, 0x46, 's'}, Clock::now() + 1s);
    slow->Finish();
    EXPECT_EQ(NextPayload(), (Bytes{'s'}));
}

}  // namespace
}  // namespace parlon
