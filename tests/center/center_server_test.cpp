// A real center in-process (CenterThread) with real CenterConnections: registration, the
// list, replacement, sign-off, expiry, refused connections, the log and stopping.
#include "center/center_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "net/center_connection.h"
#include "net/com_exception.h"
#include "net/packet.h"
#include "net/socket_stream.h"
#include "net_test_support.h"

namespace parlon {
namespace {

using namespace std::chrono_literals;
using Clock = SocketStream::Clock;

// The center's log lines, collected from its thread.
class LogLines {
  public:
    void Add(const std::string& line) {
        std::lock_guard lock(m_mutex);
        m_lines.push_back(line);
    }
    // How many lines contain `text`.
    size_t Count(const std::string& text) const {
        std::lock_guard lock(m_mutex);
        return static_cast<size_t>(std::count_if(
            m_lines.begin(), m_lines.end(),
            [&](const std::string& line) { return line.find(text) != std::string::npos; }));
    }

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// A parlon as the center sees it: its entry and its link, which signs off when destroyed.
struct Member {
    ParlonEntry entry;
    std::unique_ptr<CenterConnection> link;
    std::vector<ParlonEntry> list;
    CenterSchedule schedule;

    bool Register() { return link->Register(list, schedule); }
    // "nickname:port/key" of each listed entry, in list order.
    std::vector<std::string> Listed() const {
        std::vector<std::string> listed;
        for (const ParlonEntry& listedEntry : list) {
            listed.push_back(std::string(listedEntry.NicknameText()) + ":" +
                             std::to_string(listedEntry.port) + "/" +
                             std::string(listedEntry.PublicKeyText()));
        }
        return listed;
    }
};

class CenterServerTest : public ::testing::Test {
  protected:
    void StartCenter() {
        std::string error;
        m_center = CenterThread::Start(m_settings, error,
                                       [this](const std::string& line) { m_log.Add(line); });
        ASSERT_NE(m_center, nullptr) << error;
    }

    Member Join(uint16_t port, std::string_view nickname, std::string_view key) {
        Member member{test::MakeEntry(port, nickname, key), nullptr, {}, {}};
        member.link = std::make_unique<CenterConnection>(member.entry, m_center->Address(),
                                                         TransportDeadlines{1s, 1s, 2s});
        return member;
    }

    static std::vector<uint8_t> RegistrationFrame(const ParlonEntry& entry) {
        const ByteBuffer frame = Packet(Registration, RegistrationRecord{entry, {}}).Encode();
        return {frame.Bytes().begin(), frame.Bytes().end()};
    }

    // Writes `bytes` and returns how many bytes the center answers before it closes (0 also
    // when it resets the connection, as it does when it leaves part of a request unread).
    size_t AnswerTo(const std::vector<uint8_t>& bytes) {
        try {
            SocketStream stream(m_center->Address(), Clock::now() + 2s);
            stream.WriteAll(bytes, Clock::now() + 2s);
            return stream.ReadToEnd(1 << 20, Clock::now() + 5s).Length();
        } catch (const ComException&) {
            return 0;
        }
    }

    CenterSettings m_settings = [] {
        CenterSettings settings;
        settings.hopCount = 2;
        settings.switchPeriod = 1000;
        settings.requestDeadline = 300;
        return settings;
    }();
    LogLines m_log;
    std::unique_ptr<CenterThread> m_center;
};

TEST_F(CenterServerTest, TwoParlonsSeeEachOtherWithTheirKeys) {
    StartCenter();
    Member alice = Join(7001, "alice", "key of alice");
    Member bob = Join(7002, "bob", "key of bob");
    ASSERT_TRUE(alice.Register());
    EXPECT_EQ(alice.Listed(), (std::vector<std::string>{"alice:7001/key of alice"}));
    ASSERT_TRUE(bob.Register());
    ASSERT_TRUE(alice.Register());
    const std::vector<std::string> both = {"alice:7001/key of alice", "bob:7002/key of bob"};
    EXPECT_EQ(alice.Listed(), both);
    EXPECT_EQ(bob.Listed(), both);
    EXPECT_EQ(m_log.Count("registered 127.0.0.1:7001 \"alice\""), 2u);
    EXPECT_EQ(m_log.Count("registered 127.0.0.1:7002 \"bob\" (new"), 1u);
}

TEST_F(CenterServerTest, TheReplyCarriesTheScheduleOfTheSettings) {
    StartCenter();
    Member alice = Join(7001, "alice", "key");
    ASSERT_TRUE(alice.Register());
    EXPECT_EQ(alice.schedule.hopCount, m_settings.hopCount);
    EXPECT_EQ(alice.schedule.pollPeriod, m_settings.pollPeriod);
    EXPECT_EQ(alice.schedule.replyTime, m_settings.replyTime);
    EXPECT_EQ(alice.schedule.registerPeriod, m_settings.registerPeriod);
    EXPECT_EQ(alice.schedule.switchTime % m_settings.switchPeriod, 0u);
    const uint32_t untilSwitch = alice.schedule.switchTime - alice.schedule.centerTime;
    EXPECT_GT(untilSwitch, 0u);
    EXPECT_LE(untilSwitch, m_settings.switchPeriod);
}

TEST_F(CenterServerTest, TheReplyIsOneWellFormedFrame) {
    StartCenter();
    Member alice = Join(7001, "alice", "key of alice");
    ASSERT_TRUE(alice.Register());
    Member bob = Join(7002, "bob", "key of bob");
    ASSERT_TRUE(bob.Register());
    SocketStream stream(m_center->Address(), Clock::now() + 2s);
    stream.WriteAll(RegistrationFrame(bob.entry), Clock::now() + 2s);
    const ByteBuffer reply = stream.ReadToEnd(1 << 20, Clock::now() + 5s);
    ASSERT_EQ(reply.Length(), kReplyEntriesOffset + 2 * kParlonEntrySize);
    EXPECT_EQ(std::vector<uint8_t>(reply.Data(), reply.Data() + 5),
              (std::vector<uint8_t>{0xAA, 0x01, 0xEF, 0xAA, Registration}));
    std::vector<ParlonEntry> listed;
    CenterSchedule schedule;
    ASSERT_TRUE(Packet(reply).ReadCenterReply(listed, schedule));
    EXPECT_EQ(EncodeCenterReply(schedule, listed), reply);
    EXPECT_EQ(std::memcmp(&listed[1], &bob.entry, sizeof bob.entry), 0);
}

TEST_F(CenterServerTest, ReRegistrationReplacesTheEntryInItsPlace) {
    StartCenter();
    Member alice = Join(7001, "alice", "old key");
    Member bob = Join(7002, "bob", "key of bob");
    ASSERT_TRUE(alice.Register());
    ASSERT_TRUE(bob.Register());
    Member aliceAgain = Join(7001, "alice2", "new key");
    ASSERT_TRUE(aliceAgain.Register());
    EXPECT_EQ(aliceAgain.Listed(),
              (std::vector<std::string>{"alice2:7001/new key", "bob:7002/key of bob"}));
    EXPECT_EQ(m_log.Count("(renewed"), 1u);
}

TEST_F(CenterServerTest, SignOffRemovesTheParlon) {
    StartCenter();
    Member alice = Join(7001, "alice", "key");
    Member bob = Join(7002, "bob", "key");
    ASSERT_TRUE(alice.Register());
    ASSERT_TRUE(bob.Register());
    alice.link.reset();  // signs off
    EXPECT_TRUE(test::Eventually([&] { return bob.Register() && bob.list.size() == 1; }));
    EXPECT_EQ(bob.Listed(), (std::vector<std::string>{"bob:7002/key"}));
    EXPECT_EQ(m_log.Count("signed off 127.0.0.1:7001"), 1u);
}

TEST_F(CenterServerTest, AnEntryNotRenewedExpires) {
    m_settings.expire = 300;
    StartCenter();
    Member alice = Join(7001, "alice", "key");
    Member bob = Join(7002, "bob", "key");
    ASSERT_TRUE(alice.Register());
    ASSERT_TRUE(bob.Register());
    // Alice falls silent; the center drops her by itself, and logs it.
    EXPECT_TRUE(test::Eventually([&] { return m_log.Count("expired 127.0.0.1:7001") == 1; }));
    ASSERT_TRUE(bob.Register());
    EXPECT_EQ(bob.Listed(), (std::vector<std::string>{"bob:7002/key"}));
}

TEST_F(CenterServerTest, RequestsThatAreNotFramesAreRefusedAndChangeNothing) {
    StartCenter();
    Member alice = Join(7001, "alice", "key");
    ASSERT_TRUE(alice.Register());

    std::vector<uint8_t> wrongMagic = test::Pattern(kRegistrationFrameSize);
    wrongMagic[kFrameTypeOffset] = Registration;
    std::vector<uint8_t> unknownType = {0xAA, 0x01, 0xEF, 0xAA, 7};
    std::vector<uint8_t> cutShort = {0xAA, 0x01, 0xEF, 0xAA, Registration, 1, 2, 3};
    // Alice's own sign-off, one byte too long: not a sign-off.
    const ByteBuffer signOff = Packet(SignOff, RegistrationRecord{alice.entry, {}}).Encode();
    std::vector<uint8_t> signOffTooLong(signOff.Bytes().begin(), signOff.Bytes().end());
    signOffTooLong.push_back(0);
    // Each is answered by the center closing the connection without a byte.
    EXPECT_EQ(AnswerTo(wrongMagic), 0u);
    EXPECT_EQ(AnswerTo(unknownType), 0u);
    EXPECT_EQ(AnswerTo(signOffTooLong), 0u);
    SocketStream(m_center->Address(), Clock::now() + 2s).WriteAll(cutShort, Clock::now() + 2s);
    EXPECT_TRUE(test::Eventually([&] { return m_log.Count("refused connection") == 4; }));
    EXPECT_EQ(m_log.Count("wrong magic"), 1u);
    EXPECT_EQ(m_log.Count("unknown frame type 7"), 1u);
    EXPECT_EQ(m_log.Count("more bytes than a frame of type 255"), 1u);
    EXPECT_EQ(m_log.Count("closed after 8 bytes"), 1u);

    ASSERT_TRUE(alice.Register());
    EXPECT_EQ(alice.Listed(), (std::vector<std::string>{"alice:7001/key"}));
}

TEST_F(CenterServerTest, ASignOffOfAnUnknownParlonChangesNothing) {
    StartCenter();
    Member alice = Join(7001, "alice", "key");
    ASSERT_TRUE(alice.Register());
    { CenterConnection stranger(test::MakeEntry(7999, "x", "k"), m_center->Address()); }
    EXPECT_TRUE(test::Eventually([&] { return m_log.Count("sign-off of 127.0.0.1:7999") == 1; }));
    ASSERT_TRUE(alice.Register());
    EXPECT_EQ(alice.list.size(), 1u);
}

TEST_F(CenterServerTest, ASilentClientHoldsUpNobodyAndIsClosedAtTheDeadline) {
    StartCenter();
    SocketStream silent(m_center->Address(), Clock::now() + 2s);
    silent.WriteAll(std::vector<uint8_t>{0xAA, 0x01}, Clock::now() + 2s);
    Member alice = Join(7001, "alice", "key");
    ASSERT_TRUE(alice.Register());
    // The center ends the silent connection by itself, without an answer.
    EXPECT_EQ(silent.ReadToEnd(100, Clock::now() + 5s).Length(), 0u);
    // The line may be written just after the connection closed.
    EXPECT_TRUE(test::Eventually(
        [&] { return m_log.Count("no whole frame within 300 ms (2 bytes)") == 1; }));
}

TEST_F(CenterServerTest, ARegistrationArrivingInPiecesIsServed) {
    StartCenter();
    const std::vector<uint8_t> frame = RegistrationFrame(test::MakeEntry(7001, "alice", "key"));
    SocketStream stream(m_center->Address(), Clock::now() + 2s);
    for (size_t offset = 0; offset < frame.size(); offset += 100) {
        const size_t length = std::min<size_t>(100, frame.size() - offset);
        stream.WriteAll(std::span(frame).subspan(offset, length), Clock::now() + 2s);
        std::this_thread::sleep_for(10ms);
    }
    const ByteBuffer reply = stream.ReadToEnd(1 << 20, Clock::now() + 5s);
    EXPECT_EQ(reply.Length(), kReplyEntriesOffset + kParlonEntrySize);
}

TEST_F(CenterServerTest, ManyParlonsRegisteringAtOnceAreAllListed) {
    StartCenter();
    constexpr int kParlons = 16;
    std::vector<Member> members;
    for (int i = 0; i < kParlons; ++i) {
        members.push_back(Join(static_cast<uint16_t>(8000 + i), "p" + std::to_string(i), "k"));
    }
    std::vector<std::thread> threads;
    std::atomic<int> registered{0};
    for (Member& member : members) {
        threads.emplace_back([&member, &registered] { registered += member.Register() ? 1 : 0; });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(registered.load(), kParlons);
    ASSERT_TRUE(members[0].Register());
    EXPECT_EQ(members[0].list.size(), static_cast<size_t>(kParlons));
}

TEST_F(CenterServerTest, StopEndsOpenConnections) {
    StartCenter();
    SocketStream silent(m_center->Address(), Clock::now() + 2s);
    m_center->Stop();
    // Closed, or reset when Stop came before the connection was accepted; not left waiting.
    const std::error_code ended =
        test::ComErrorOf([&] { EXPECT_EQ(silent.ReadToEnd(100, Clock::now() + 5s).Length(), 0u); });
    EXPECT_NE(ended, asio::error::timed_out);
    Member late = Join(7001, "late", "key");
    EXPECT_FALSE(late.Register());
}

TEST_F(CenterServerTest, ATakenPortIsReported) {
    StartCenter();
    std::string error;
    EXPECT_EQ(CenterThread::Start(m_settings, error, {}, m_center->Address()), nullptr);
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
}

}  // namespace
}  // namespace parlon
