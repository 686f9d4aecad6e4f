// CenterConnection against scripted centers and peers: what it sends, what it makes of each
// kind of reply, and that every failure is a false result within the deadline.
#include "net/center_connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "net/packet.h"
#include "net_test_support.h"
#include "scripted_server.h"

namespace parlon {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;
using test::ScriptedServer;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr TransportDeadlines kShortDeadlines{300ms, 300ms, 300ms};

Bytes ToBytes(const ByteBuffer& buffer) {
    return Bytes(buffer.Bytes().begin(), buffer.Bytes().end());
}

// A script that reads the 422-byte registration, keeps it, and answers with `reply`.
ScriptedServer::Script AnswerWith(Bytes reply, test::Captures* requests = nullptr) {
    return [reply = std::move(reply), requests](tcp::socket& socket) {
        Bytes request = test::ReadExactly(socket, kRegistrationFrameSize);
        if (requests != nullptr) {
            requests->Put(std::move(request));
        }
        test::WriteAll(socket, reply);
    };
}

class CenterConnectionTest : public ::testing::Test {
  protected:
    CenterConnectionTest() {
        // What the caller held before the exchange; a failed Register must leave it as is.
        m_parlons = {test::MakeEntry(1, "before", "old key")};
        m_schedule = {9, 9, 9, 9, 9, 9};
        m_replyParlons = {test::MakeEntry(7001, "alice", "key of alice"),
                          test::MakeEntry(7002, "bob", "key of bob")};
        m_replySchedule = {3, 123456, 500, 30000, 10000, 130000};
    }

    Bytes GoodReply() const { return ToBytes(EncodeCenterReply(m_replySchedule, m_replyParlons)); }

    // Registers at `center` with short deadlines; true when Register succeeded. A failure must
    // leave the caller's list and schedule untouched.
    bool RegisterAt(const PeerAddress& center) {
        const auto parlonsBefore = Snapshot();
        const CenterSchedule scheduleBefore = m_schedule;
        CenterConnection connection(m_own, center, kShortDeadlines);
        const auto started = Clock::now();
        const bool registered = connection.Register(m_parlons, m_schedule);
        m_elapsed = Clock::now() - started;
        if (!registered) {
            EXPECT_EQ(Snapshot(), parlonsBefore);
            EXPECT_EQ(m_schedule, scheduleBefore);
        }
        return registered;
    }

    std::vector<Bytes> Snapshot() const {
        std::vector<Bytes> entries;
        for (const ParlonEntry& entry : m_parlons) {
            const auto* bytes = reinterpret_cast<const uint8_t*>(&entry);
            entries.emplace_back(bytes, bytes + sizeof entry);
        }
        return entries;
    }

    void ExpectReplyTaken() const {
        EXPECT_EQ(m_schedule, m_replySchedule);
        ASSERT_EQ(m_parlons.size(), m_replyParlons.size());
        for (size_t i = 0; i < m_parlons.size(); ++i) {
            EXPECT_EQ(std::memcmp(&m_parlons[i], &m_replyParlons[i], sizeof(ParlonEntry)), 0);
        }
    }

    const ParlonEntry m_own = test::MakeEntry(7000, "me", "my key text");
    std::vector<ParlonEntry> m_parlons;
    CenterSchedule m_schedule;
    std::vector<ParlonEntry> m_replyParlons;
    CenterSchedule m_replySchedule;
    Clock::duration m_elapsed{};
};

TEST_F(CenterConnectionTest, RegisterSendsTheOwnEntryAndTakesTheReply) {
    test::Captures requests;
    ScriptedServer center(AnswerWith(GoodReply(), &requests));
    ASSERT_TRUE(RegisterAt(center.Address()));
    ExpectReplyTaken();

    const std::optional<Bytes> request = requests.Take(5s);
    ASSERT_TRUE(request);
    ASSERT_EQ(request->size(), kRegistrationFrameSize);
    EXPECT_EQ(Bytes(request->begin(), request->begin() + 5), (Bytes{0xAA, 0x01, 0xEF, 0xAA, 51}));
    EXPECT_EQ(std::memcmp(request->data() + 5, &m_own, sizeof m_own), 0);
}

TEST_F(CenterConnectionTest, AReplyWithNoEntriesEmptiesTheListAndTakesTheSchedule) {
    m_replyParlons.clear();
    ScriptedServer center(AnswerWith(GoodReply()));
    ASSERT_TRUE(RegisterAt(center.Address()));
    EXPECT_TRUE(m_parlons.empty());
    EXPECT_EQ(m_schedule, m_replySchedule);
}

TEST_F(CenterConnectionTest, BytesAfterTheLastCountedEntryAreIgnored) {
    Bytes reply = GoodReply();
    reply.push_back(0x5A);
    ScriptedServer center(AnswerWith(reply));
    ASSERT_TRUE(RegisterAt(center.Address()));
    ExpectReplyTaken();
}

TEST_F(CenterConnectionTest, ReRegistrationSendsTheEntryAsItWasAtConstruction) {
    test::Captures requests;
    ScriptedServer center(AnswerWith(GoodReply(), &requests));
    ParlonEntry own = m_own;
    CenterConnection connection(own, center.Address(), kShortDeadlines);
    own.SetNickname("changed");
    ASSERT_TRUE(connection.Register(m_parlons, m_schedule));
    ASSERT_TRUE(connection.Register(m_parlons, m_schedule));
    for (int i = 0; i < 2; ++i) {
        const std::optional<Bytes> request = requests.Take(5s);
        ASSERT_TRUE(request);
        EXPECT_EQ(std::memcmp(request->data() + 5, &m_own, sizeof m_own), 0);
    }
}

// Each way a center can fail: Register returns false, leaves the caller's state alone (checked
// in RegisterAt) and returns by its deadline.
TEST_F(CenterConnectionTest, NothingListening) {
    EXPECT_FALSE(RegisterAt(test::UnusedPort()));
}

TEST_F(CenterConnectionTest, CenterClosesAtOnce) {
    ScriptedServer center([](tcp::socket& socket) { socket.close(); });
    EXPECT_FALSE(RegisterAt(center.Address()));
}

TEST_F(CenterConnectionTest, ReplyShortByOneByte) {
    Bytes reply = GoodReply();
    reply.pop_back();
    ScriptedServer center(AnswerWith(reply));
    EXPECT_FALSE(RegisterAt(center.Address()));
}

TEST_F(CenterConnectionTest, ReplyShorterThanItsHeader) {
    Bytes reply = GoodReply();
    reply.resize(kReplyEntriesOffset - 1);
    ScriptedServer center(AnswerWith(reply));
    EXPECT_FALSE(RegisterAt(center.Address()));
}

TEST_F(CenterConnectionTest, GarbageWithAHugeCount) {
    Bytes reply = test::Pattern(200);
    std::memset(reply.data() + kReplyCountOffset, 0xFF, sizeof(uint32_t));
    ScriptedServer center(AnswerWith(reply));
    EXPECT_FALSE(RegisterAt(center.Address()));
}

TEST_F(CenterConnectionTest, CenterNeverAnswers) {
    ScriptedServer center([](tcp::socket& socket) { test::ReadUntilClosed(socket); });
    EXPECT_FALSE(RegisterAt(center.Address()));
    EXPECT_GE(m_elapsed, kShortDeadlines.registration);
    EXPECT_LT(m_elapsed, kShortDeadlines.registration + 2s);
}

TEST_F(CenterConnectionTest, CenterStallsInTheMiddleOfTheReply) {
    const Bytes reply = GoodReply();
    ScriptedServer center([&reply](tcp::socket& socket) {
        test::ReadExactly(socket, kRegistrationFrameSize);
        test::WriteAll(socket, Bytes(reply.begin(), reply.begin() + 100));
        test::ReadUntilClosed(socket);
    });
    EXPECT_FALSE(RegisterAt(center.Address()));
    EXPECT_LT(m_elapsed, kShortDeadlines.registration + 2s);
}

TEST_F(CenterConnectionTest, CenterResetsInTheMiddleOfTheReply) {
    const Bytes reply = GoodReply();
    ScriptedServer center([&reply](tcp::socket& socket) {
        test::ReadExactly(socket, kRegistrationFrameSize);
        test::WriteAll(socket, Bytes(reply.begin(), reply.begin() + 100));
        test::Reset(socket);
    });
    EXPECT_FALSE(RegisterAt(center.Address()));
}

TEST_F(CenterConnectionTest, CenterUnreachableWithinTheConnectDeadline) {
    const test::FullBacklog full;
    EXPECT_FALSE(RegisterAt(full.Address()));
    EXPECT_GE(m_elapsed, kShortDeadlines.connect);
}

TEST_F(CenterConnectionTest, ReplyAboveTheBoundIsRefused) {
    // A well-formed head followed by padding up to one byte past the bound.
    Bytes reply = GoodReply();
    reply.resize(kMaxCenterReplySize + 1, 0x33);
    ScriptedServer center(AnswerWith(reply));
    CenterConnection connection(m_own, center.Address(), {300ms, 10s, 10s});
    EXPECT_FALSE(connection.Register(m_parlons, m_schedule));
    EXPECT_EQ(m_parlons.size(), 1u);
}

TEST_F(CenterConnectionTest, DestructionSignsOffWithTheOwnAddress) {
    test::Captures signOffs;
    ScriptedServer center(
        [&signOffs](tcp::socket& socket) { signOffs.Put(test::ReadUntilClosed(socket)); });
    { CenterConnection connection(m_own, center.Address(), kShortDeadlines); }
    const std::optional<Bytes> frame = signOffs.Take(5s);
    ASSERT_TRUE(frame);
    Bytes expected{0xAA, 0x01, 0xEF, 0xAA, 0xFF, 127, 0, 0, 1};
    expected.push_back(static_cast<uint8_t>(m_own.port & 0xFF));
    expected.push_back(static_cast<uint8_t>(m_own.port >> 8));
    EXPECT_EQ(*frame, expected);
}

TEST_F(CenterConnectionTest, SignOffToAnUnreachableCenterIsSilentAndBounded) {
    const test::FullBacklog full;
    const auto started = Clock::now();
    EXPECT_NO_THROW({ CenterConnection connection(m_own, full.Address(), kShortDeadlines); });
    EXPECT_LT(Clock::now() - started, kShortDeadlines.connect + 2s);
}

class SendTest : public CenterConnectionTest {
  protected:
    // Sends `packet` to a capturing peer and returns the frame the peer read.
    std::optional<Bytes> FrameReceivedFor(const Bytes& packet) {
        CenterConnection connection(m_own, test::UnusedPort(), kShortDeadlines);
        if (!connection.Send(m_peer.Address(), ByteBuffer(std::span<const uint8_t>(packet)))) {
            return std::nullopt;
        }
        return m_frames.Take(5s);
    }

    test::Captures m_frames;
    ScriptedServer m_peer{
        [this](tcp::socket& socket) { m_frames.Put(test::ReadUntilClosed(socket)); }};
};

TEST_F(SendTest, ThePeerReadsTheHeaderAndThePacketToTheEnd) {
    for (const size_t length : {size_t{0}, size_t{123}, size_t{1024}, size_t{5125}}) {
        const Bytes packet = test::Pattern(length);
        const std::optional<Bytes> frame = FrameReceivedFor(packet);
        ASSERT_TRUE(frame) << "length " << length;
        ASSERT_EQ(frame->size(), length + kFrameHeaderSize);
        EXPECT_EQ(Bytes(frame->begin(), frame->begin() + 4), (Bytes{0xAA, 0x01, 0xEF, 0xAA}));
        EXPECT_EQ(Bytes(frame->begin() + 5, frame->end()), packet);
    }
}

TEST_F(SendTest, ToAParlonThatIsNotRunningFails) {
    CenterConnection connection(m_own, test::UnusedPort(), kShortDeadlines);
    EXPECT_FALSE(connection.Send(test::UnusedPort(), ByteBuffer(10)));
}

TEST_F(SendTest, ToAParlonThatNeverAcceptsFailsByTheDeadline) {
    const test::FullBacklog full;
    CenterConnection connection(m_own, test::UnusedPort(), kShortDeadlines);
    const auto started = Clock::now();
    EXPECT_FALSE(connection.Send(full.Address(), ByteBuffer(10)));
    EXPECT_LT(Clock::now() - started, kShortDeadlines.peerExchange + 2s);
}

}  // namespace
}  // namespace parlon
