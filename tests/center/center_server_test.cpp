// The schedule the center announces; then parlon-center on a free loopback port with real
// CenterConnections: what it lists, replaces, signs off, expires and refuses, how it stops.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "center/center_schedule.h"
#include "net/center_connection.h"
#include "net/socket_stream.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/test_support.h"

namespace parlon {
namespace {

using namespace std::chrono_literals;
using Clock = SocketStream::Clock;
using Strings = std::vector<std::string>;

TEST(CenterScheduleTest, AnnouncesTheSettingsTheClockAndTheNextSwitchAcrossTheWrap) {
    // A switch period that does not divide 2^32, so its multiples straddle the clock's wrap.
    const CenterSettings settings{.switchPeriod = 7};
    EXPECT_EQ(ScheduleAt(settings, 12345ms), (CenterSchedule{3, 12345, 500, 30000, 10000, 12348}));
    constexpr int64_t kWrap = int64_t{1} << 32;
    for (const int64_t now : {int64_t{7}, kWrap - 3, kWrap - 1, kWrap, kWrap + 5, 3 * kWrap + 11}) {
        const CenterSchedule at = ScheduleAt(settings, std::chrono::milliseconds(now));
        EXPECT_EQ(at.centerTime, static_cast<uint32_t>(now % kWrap)) << now;
        EXPECT_EQ(at.switchTime - at.centerTime, 7 - now % 7) << now;  // at a switch, the next
    }
}

class CenterServerTest : public ::testing::Test {
  protected:
    // Starts the center with `options`, its standard error written to a file, and learns its
    // port from the first line.
    void Start(std::vector<std::string> options) {
        options.insert(options.begin(), {PARLON_CENTER_PATH, "--listen", "127.0.0.1:0"});
        const int errors =
            ::open(m_logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(errors, 0);
        m_pid = test::StartChildProcess(options, m_dir.Path(), {.error = errors});
        ::close(errors);
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

    // Signals the center; its exit code if it exits by itself `within`.
    std::optional<int> StopWith(int signal, std::chrono::milliseconds within) {
        return ::kill(m_pid, signal) == 0 ? ExitCodeWithin(within) : std::nullopt;
    }
    // The center's exit code if it exits `within`.
    std::optional<int> ExitCodeWithin(std::chrono::milliseconds within) {
        int status = 0;
        if (!test::Eventually([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; },
                              within)) {
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

    test::TempDir m_dir;
    const std::string m_logFile = (m_dir.Path() / "center.log").string();
    pid_t m_pid = -1;
    PeerAddress m_address;
    CenterSchedule m_schedule;
};

TEST_F(CenterServerTest, ListsInOrderWithKeysReplacesInPlaceSignsOffExpiresAndStopsOnSigint) {
    // No --expire: entries expire after three register periods, 1500 ms.
    Start({"--hop-count", "4", "--poll-period", "250", "--reply-time", "0", "--register-period",
           "500", "--switch-period", "1000", "--request-deadline", "3000"});
    // Two bytes of a header, then nothing: served only until the request deadline, and
    // meanwhile everybody else is.
    SocketStream silent(m_address, Clock::now() + 2s);
    silent.WriteAll(std::vector<uint8_t>{0xAA, 0x01}, Clock::now() + 2s);
    std::unique_ptr<CenterConnection> alice = Link(7001, "alice", "key of alice");
    std::unique_ptr<CenterConnection> bob = Link(7002, "bob", "key of bob");
    EXPECT_EQ(Register(*alice), (Strings{"alice:7001/key of alice"}));
    EXPECT_EQ(Register(*bob), (Strings{"alice:7001/key of alice", "bob:7002/key of bob"}));
    EXPECT_EQ((std::vector<uint32_t>{m_schedule.hopCount, m_schedule.pollPeriod,
                                     m_schedule.replyTime, m_schedule.registerPeriod}),
              (std::vector<uint32_t>{4, 250, 0, 500}));
    EXPECT_LT(m_schedule.switchTime - m_schedule.centerTime - 1, 1000u);  // in (0, 1000]

    std::unique_ptr<CenterConnection> aliceAgain = Link(7001, "alice2", "new key");
    EXPECT_EQ(Register(*aliceAgain), (Strings{"alice2:7001/new key", "bob:7002/key of bob"}));
    aliceAgain.reset();  // signs off; bob, renamed, is then found in the first place
    std::unique_ptr<CenterConnection> bobAgain = Link(7002, "bob2", "new key of bob");
    EXPECT_TRUE(test::Eventually(
        [&] { return Register(*bobAgain) == Strings{"bob2:7002/new key of bob"}; }));
    EXPECT_TRUE(Logs("registered 127.0.0.1:7001 \"alice2\" (renewed; 2 registered)"));
    // Bob falls silent; the center drops him by itself.
    EXPECT_TRUE(Logs("expired 127.0.0.1:7002"));
    EXPECT_EQ(Register(*Link(7003, "carol")), (Strings{"carol:7003/k"}));
    EXPECT_EQ(silent.ReadToEnd(1 << 20, Clock::now() + 5s).Length(), 0u);  // not a word
    EXPECT_TRUE(Logs("no whole frame within 3000 ms (2 bytes)"));

    // A silent client would be served for the whole request deadline; the signal must not
    // wait for it.
    SocketStream lateSilent(m_address, Clock::now() + 2s);
    EXPECT_EQ(StopWith(SIGINT, 1500ms), 0);
    EXPECT_TRUE(Logs("parlon-center: stopping on signal 2"));
}

// A center that can no longer accept cannot serve anyone: it says so and exits, instead of
// retrying an error that does not pass.
TEST_F(CenterServerTest, AnAcceptErrorOtherThanAShortageIsLoggedAndEndsTheCenter) {
    Start({});
    ASSERT_TRUE(test::BreakListeningSocket(m_pid, m_address.port));
    EXPECT_EQ(ExitCodeWithin(5s), 1);
    EXPECT_TRUE(
        Logs("] accepting failed: Invalid argument\n"
             "parlon-center: stopping: connections can no longer be accepted\n"))
        << Log();
}

}  // namespace
}  // namespace parlon
