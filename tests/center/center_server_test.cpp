// parlon-center run as a process on a free loopback port, with real CenterConnections: what
// it lists, replaces, signs off and expires, what it refuses, and how it stops.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>

#include "net/center_connection.h"
#include "net/com_exception.h"
#include "net/packet.h"
#include "net/socket_stream.h"
#include "net_test_support.h"
#include "support/temp_dir.h"

extern char** environ;

namespace parlon {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = SocketStream::Clock;
using Strings = std::vector<std::string>;

class CenterServerTest : public ::testing::Test {
  protected:
    // Starts the center with `options`, its standard error written to a file, and learns its
    // port from the first line.
    void Start(std::vector<const char*> options) {
        options.insert(options.begin(), {PARLON_CENTER_PATH, "--listen", "127.0.0.1:0"});
        options.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, m_logFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int spawned = ::posix_spawn(&m_pid, options[0], &actions, nullptr,
                                          const_cast<char* const*>(options.data()), environ);
        posix_spawn_file_actions_destroy(&actions);
        ASSERT_EQ(spawned, 0);
        ASSERT_TRUE(Logs("listening on 127.0.0.1:")) << Log();
        const std::string log = Log();
        m_address = {ParseIpv4("127.0.0.1"),
                     static_cast<uint16_t>(std::stoi(log.substr(log.rfind(':') + 1)))};
    }
    void TearDown() override {
        if (m_pid > 0) {  // not reaped yet
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

    std::string Log() const {
        std::ifstream in(m_logFile);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // Whether the log shows `text` within five seconds.
    bool Logs(const std::string& text) const {
        return test::Eventually([&] { return Log().find(text) != std::string::npos; });
    }

    // Signals the center; its exit code if it exits by itself within five seconds.
    std::optional<int> StopWith(int signal) {
        int status = 0;
        if (::kill(m_pid, signal) != 0 ||
            !test::Eventually([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; })) {
            return std::nullopt;
        }
        m_pid = -1;
        return WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt;
    }

    std::unique_ptr<CenterConnection> Link(uint16_t port, std::string_view nickname,
                                           std::string_view key = "k") {
        return std::make_unique<CenterConnection>(test::MakeEntry(port, nickname, key), m_address,
                                                  TransportDeadlines{1s, 1s, 2s});
    }
    // Registers through `link`: "nickname:port/key" of each listed entry, or {"failed"}.
    Strings Register(CenterConnection& link) {
        std::vector<ParlonEntry> list;
        if (!link.Register(list, m_schedule)) {
            return {"failed"};
        }
        Strings listed;
        for (const ParlonEntry& entry : list) {
            listed.push_back(std::string(entry.NicknameText()) + ":" + std::to_string(entry.port) +
                             "/" + std::string(entry.PublicKeyText()));
        }
        return listed;
    }

    testing::TempDir m_dir;
    const std::string m_logFile = (m_dir.Path() / "center.log").string();
    pid_t m_pid = -1;
    PeerAddress m_address;
    CenterSchedule m_schedule;
};

TEST_F(CenterServerTest, ListsInOrderWithKeysReplacesInPlaceSignsOffExpiresAndStopsOnSigint) {
    Start({"--hop-count", "4", "--poll-period", "250", "--reply-time", "0", "--register-period",
           "7000", "--switch-period", "1000", "--expire", "1500"});
    std::unique_ptr<CenterConnection> alice = Link(7001, "alice", "key of alice");
    std::unique_ptr<CenterConnection> bob = Link(7002, "bob", "key of bob");
    EXPECT_EQ(Register(*alice), (Strings{"alice:7001/key of alice"}));
    EXPECT_EQ(Register(*bob), (Strings{"alice:7001/key of alice", "bob:7002/key of bob"}));
    EXPECT_EQ((std::vector<uint32_t>{m_schedule.hopCount, m_schedule.pollPeriod,
                                     m_schedule.replyTime, m_schedule.registerPeriod}),
              (std::vector<uint32_t>{4, 250, 0, 7000}));
    EXPECT_EQ(m_schedule.switchTime % 1000, 0u);
    EXPECT_LT(m_schedule.switchTime - m_schedule.centerTime - 1, 1000u);  // in (0, 1000]

    std::unique_ptr<CenterConnection> aliceAgain = Link(7001, "alice2", "new key");
    EXPECT_EQ(Register(*aliceAgain), (Strings{"alice2:7001/new key", "bob:7002/key of bob"}));
    aliceAgain.reset();  // signs off; bob, renamed, is then found in the first place
    std::unique_ptr<CenterConnection> bobAgain = Link(7002, "bob2", "new key of bob");
    EXPECT_TRUE(test::Eventually(
        [&] { return Register(*bobAgain) == Strings{"bob2:7002/new key of bob"}; }));
    EXPECT_TRUE(Logs("registered 127.0.0.1:7001 \"alice2\" (renewed; 2 registered)"));
    EXPECT_TRUE(Logs("signed off 127.0.0.1:7001 (1 registered)"));
    // Bob falls silent; the center drops him by itself.
    EXPECT_TRUE(Logs("expired 127.0.0.1:7002"));
    EXPECT_EQ(Register(*Link(7003, "carol")), (Strings{"carol:7003/k"}));

    // A silent client would be served for the whole request deadline (10 s by default); the
    // signal must not wait for it.
    SocketStream silent(m_address, Clock::now() + 2s);
    EXPECT_EQ(StopWith(SIGINT), 0);
    EXPECT_TRUE(Logs("parlon-center: stopping on signal 2"));
}

TEST_F(CenterServerTest, AnythingButAWholeFrameInTimeIsRefusedHoldsUpNobodyAndSigtermStops) {
    Start({"--request-deadline", "1000"});
    // Two bytes of a header, then nothing: served only until the request deadline, and
    // meanwhile everybody else is.
    SocketStream silent(m_address, Clock::now() + 2s);
    silent.WriteAll(Bytes{0xAA, 0x01}, Clock::now() + 2s);
    std::unique_ptr<CenterConnection> alice = Link(7001, "alice");
    ASSERT_EQ(Register(*alice).size(), 1u);
    Bytes wrongMagic = test::Pattern(kRegistrationFrameSize);
    wrongMagic[kFrameTypeOffset] = Registration;
    Bytes signOffTooLong = test::BytesOf(
        Packet(SignOff, RegistrationRecord{test::MakeEntry(7001, "alice", "k"), {}}).Encode());
    signOffTooLong.push_back(0);
    const std::vector<std::pair<Bytes, std::string>> requests = {
        {wrongMagic, "not a frame (wrong magic)"},
        {{0xAA, 0x01, 0xEF, 0xAA, 7}, "unknown frame type 7"},
        {signOffTooLong, "more bytes than a frame of type 255"},
        {{0xAA, 0x01, 0xEF, 0xAA, Registration, 1, 2, 3}, "closed after 8 bytes"},
    };
    for (const auto& [bytes, reason] : requests) {
        SocketStream stream(m_address, Clock::now() + 2s);
        stream.WriteAll(bytes, Clock::now() + 2s);
        try {
            stream.Finish();
        } catch (const ComException&) {  // the center may have reset it already
        }
        EXPECT_TRUE(Logs(": " + reason + "\n")) << reason;
    }
    EXPECT_EQ(Register(*Link(7002, "bob")), (Strings{"alice:7001/k", "bob:7002/k"}));
    EXPECT_EQ(silent.ReadToEnd(1 << 20, Clock::now() + 5s).Length(), 0u);  // not a word
    EXPECT_TRUE(Logs("no whole frame within 1000 ms (2 bytes)"));
    EXPECT_EQ(StopWith(SIGTERM), 0);
    EXPECT_TRUE(Logs("parlon-center: stopping on signal 15"));
}

}  // namespace
}  // namespace parlon
