// The center's command line: every option is read into its setting, --expire follows the
// register period unless given, and a wrong value ends the program with its option named.
#include "center/center_command_line.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace parlon {
namespace {

struct Parsed {
    std::optional<CenterCommandLine> line;
    int exitCode = -1;
    std::string err;
};

Parsed Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "parlon-center");
    std::ostringstream out, err;
    Parsed parsed;
    parsed.line = ParseCenterCommandLine(static_cast<int>(args.size()), args.data(), out, err,
                                         parsed.exitCode);
    parsed.err = err.str();
    return parsed;
}

TEST(CenterCommandLine, OptionsReachTheirSettingsAndExpireFollowsTheRegisterPeriod) {
    const Parsed parsed = Parse({"--listen", "127.0.0.2:0", "--register-period", "2000000000",
                                 "--proxy-protocol", "10.0.0.1,10.0.0.2", "--max-connections", "7",
                                 "--store", "redis://127.0.0.1:6390/2"});
    ASSERT_TRUE(parsed.line) << parsed.err;
    EXPECT_EQ(parsed.line->listen, (PeerAddress{ParseIpv4("127.0.0.2"), 0}));
    EXPECT_EQ(parsed.line->settings.expire, 0xFFFFFFFFu);  // three periods, kept within 32 bits
    EXPECT_EQ(parsed.line->settings.proxies,
              (std::vector{ParseIpv4("10.0.0.1"), ParseIpv4("10.0.0.2")}));
    EXPECT_EQ(parsed.line->settings.maxConnections, 7u);
    ASSERT_TRUE(parsed.line->store);
    EXPECT_EQ(Parse({"--register-period", "400"}).line.value().settings.expire, 1200u);
    EXPECT_EQ(Parse({"--hop-count", "16"}).line.value().settings.hopCount, 16u);  // the most
    EXPECT_EQ(Parse({"--register-period", "400", "--expire", "900"}).line.value().settings.expire,
              900u);
}

TEST(CenterCommandLine, AWrongValueEndsTheProgramNamingItsOption) {
    std::vector<std::vector<const char*>> wrong = {
        {"--hop-count", "17"},  // more layers than a parlon wraps
        {"--reply-time", "-1"},
        {"--listen", "1.2.3.010:7878"},
        {"--proxy-protocol", "10.0.0.1,host"},
        {"--store", "redis://127.0.0.1"},
        {"--max-entries", "3000", "--max-held-reply-bytes", "1000"}};
    // A period, deadline or count of 0 would stall or divide by zero.
    for (const char* positive :
         {"--hop-count", "--poll-period", "--register-period", "--switch-period", "--expire",
          "--request-deadline", "--first-byte-deadline", "--max-entries", "--max-per-address",
          "--changes-per-minute", "--max-held-reply-bytes", "--max-connections",
          "--max-connections-per-source"}) {
        wrong.push_back({positive, "0"});
    }
    for (const std::vector<const char*>& args : wrong) {
        const Parsed parsed = Parse(args);
        EXPECT_FALSE(parsed.line) << args[0];
        EXPECT_NE(parsed.exitCode, 0) << args[0];
        EXPECT_NE(parsed.err.find(args[args.size() - 2]), std::string::npos) << parsed.err;
    }
}

}  // namespace
}  // namespace parlon
