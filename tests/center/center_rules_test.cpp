// The center's schedule and command line, without sockets.
#include <gtest/gtest.h>

#include <sstream>

#include "center/center_command_line.h"
#include "center/center_schedule.h"
#include "net_test_support.h"

namespace parlon {
namespace {

using namespace std::chrono_literals;
using Words = std::vector<uint32_t>;

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

TEST(CenterCommandLineTest, HelpListsEveryOptionWithTheDefaultsThatHold) {
    std::ostringstream out;
    std::ostringstream err;
    int exitCode = -1;
    const char* help[] = {"parlon-center", "--help"};
    EXPECT_FALSE(ParseCenterCommandLine(2, help, out, err, exitCode));
    EXPECT_EQ(exitCode, 0);
    for (const char* expected :
         {"--listen", "127.0.0.1:7878", "--hop-count", "=3", "--poll-period", "=500",
          "--reply-time", "=30000", "--register-period", "=10000", "--switch-period", "--expire",
          "3 x register period", "--request-deadline"}) {
        EXPECT_NE(out.str().find(expected), std::string::npos) << expected << " in\n" << out.str();
    }
    const char* registerPeriod[] = {"parlon-center", "--register-period", "1234"};
    const std::optional<CenterCommandLine> parsed =
        ParseCenterCommandLine(3, registerPeriod, out, err, exitCode);
    ASSERT_TRUE(parsed) << err.str();
    EXPECT_EQ(parsed->listen, (PeerAddress{ParseIpv4("127.0.0.1"), 7878}));
    const CenterSettings& s = parsed->settings;
    EXPECT_EQ((Words{s.hopCount, s.pollPeriod, s.replyTime, s.registerPeriod, s.switchPeriod,
                     s.expire, s.requestDeadline}),
              (Words{3, 500, 30000, 1234, 10000, 3702, 10000}));
}

}  // namespace
}  // namespace parlon
