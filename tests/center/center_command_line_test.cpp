// The command line of parlon-center: defaults, each option, and wrong input.
#include "center/center_command_line.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace parlon {
namespace {

class CenterCommandLineTest : public ::testing::Test {
  protected:
    std::optional<CenterCommandLine> Parse(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "parlon-center");
        std::vector<const char*> argv;
        for (const std::string& argument : arguments) {
            argv.push_back(argument.c_str());
        }
        m_out.str("");
        m_err.str("");
        return ParseCenterCommandLine(static_cast<int>(argv.size()), argv.data(), m_out, m_err,
                                      m_exitCode);
    }

    std::ostringstream m_out;
    std::ostringstream m_err;
    int m_exitCode = -1;
};

TEST_F(CenterCommandLineTest, WithoutArgumentsEverythingTakesItsDefault) {
    const std::optional<CenterCommandLine> parsed = Parse({});
    ASSERT_TRUE(parsed);
    EXPECT_EQ(m_exitCode, 0);
    EXPECT_EQ(parsed->listen, (PeerAddress{ParseIpv4("127.0.0.1"), 7878}));
    const CenterSettings& settings = parsed->settings;
    EXPECT_EQ(settings.hopCount, 3u);
    EXPECT_EQ(settings.pollPeriod, 500u);
    EXPECT_EQ(settings.replyTime, 30000u);
    EXPECT_EQ(settings.registerPeriod, 10000u);
    EXPECT_EQ(settings.switchPeriod, 10000u);
    EXPECT_EQ(settings.expire, 30000u);
}

TEST_F(CenterCommandLineTest, EachOptionSetsItsSetting) {
    const std::optional<CenterCommandLine> parsed =
        Parse({"--listen", "10.1.2.3:0", "--hop-count", "5", "--poll-period", "100", "--reply-time",
               "2000", "--register-period", "3000", "--switch-period", "4000", "--expire", "5000",
               "--request-deadline", "600"});
    ASSERT_TRUE(parsed) << m_err.str();
    EXPECT_EQ(parsed->listen, (PeerAddress{ParseIpv4("10.1.2.3"), 0}));
    const CenterSettings& settings = parsed->settings;
    EXPECT_EQ(settings.hopCount, 5u);
    EXPECT_EQ(settings.pollPeriod, 100u);
    EXPECT_EQ(settings.replyTime, 2000u);
    EXPECT_EQ(settings.registerPeriod, 3000u);
    EXPECT_EQ(settings.switchPeriod, 4000u);
    EXPECT_EQ(settings.expire, 5000u);
    EXPECT_EQ(settings.requestDeadline, 600u);
}

TEST_F(CenterCommandLineTest, AReplyTimeOfZeroIsAccepted) {
    const std::optional<CenterCommandLine> parsed = Parse({"--reply-time", "0"});
    ASSERT_TRUE(parsed) << m_err.str();
    EXPECT_EQ(parsed->settings.replyTime, 0u);
}

TEST_F(CenterCommandLineTest, ExpireDefaultsToThreeRegisterPeriods) {
    const std::optional<CenterCommandLine> parsed = Parse({"--register-period", "1234"});
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->settings.expire, 3702u);
}

TEST_F(CenterCommandLineTest, WrongValuesEndTheProgramWithAReason) {
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"--listen", "localhost:7878"},
                                               {"--hop-count", "0"},
                                               {"--switch-period", "-5"},
                                               {"--expire", "soon"},
                                               {"--unknown"}}) {
        EXPECT_FALSE(Parse(arguments)) << arguments[0];
        EXPECT_NE(m_exitCode, 0) << arguments[0];
        EXPECT_FALSE(m_err.str().empty()) << arguments[0];
    }
}

TEST_F(CenterCommandLineTest, HelpListsEveryOptionWithItsDefault) {
    EXPECT_FALSE(Parse({"--help"}));
    EXPECT_EQ(m_exitCode, 0);
    const std::string help = m_out.str();
    for (const char* expected :
         {"--listen", "127.0.0.1:7878", "--hop-count", "=3", "--poll-period", "=500",
          "--reply-time", "=30000", "--register-period", "=10000", "--switch-period", "--expire",
          "3 x register period", "--request-deadline"}) {
        EXPECT_NE(help.find(expected), std::string::npos) << expected << " in\n" << help;
    }
}

TEST(ParseListenAddressTest, TakesDottedAddressAndPortOnly) {
    EXPECT_EQ(ParseListenAddress("127.0.0.1:7878"), (PeerAddress{ParseIpv4("127.0.0.1"), 7878}));
    EXPECT_EQ(ParseListenAddress("0.0.0.0:65535"), (PeerAddress{0, 65535}));
    for (const char* wrong :
         {"", "127.0.0.1", "127.0.0.1:", ":7878", "127.0.0.1:65536", "127.0.0.1:78x",
          "127.0.0:7878", "256.0.0.1:7878", "127.0.0.1x:7878", "127.0.0.1:-1", "host:7878"}) {
        EXPECT_FALSE(ParseListenAddress(wrong)) << wrong;
    }
}

}  // namespace
}  // namespace parlon
