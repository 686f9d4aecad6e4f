#include "cli/node_options.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace parlon {
namespace {

class NodeOptionsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        settingsFile_ = dir_.Write("node.ini",
                                   "[Client Params]\n"
                                   "Port Num=9001\n"
                                   "IP Address=10.0.0.5\n"
                                   "Nickname=FromFile\n"
                                   "[Server Params]\n"
                                   "Port Num=7000\n"
                                   "IP Address=10.0.0.1\n")
                            .string();
    }

    std::optional<NodeOptions> Parse(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "parlon-cli");
        std::vector<const char*> argv;
        for (const std::string& argument : arguments) {
            argv.push_back(argument.c_str());
        }
        out_.str({});
        err_.str({});
        exitCode_ = -1;
        return ParseNodeCommandLine(static_cast<int>(argv.size()), argv.data(), "9.8.7", out_, err_,
                                    exitCode_);
    }

    // Expects the arguments to be refused; returns what was said on the error stream.
    std::string Refusal(std::vector<std::string> arguments) {
        EXPECT_FALSE(Parse(std::move(arguments)).has_value());
        EXPECT_EQ(exitCode_, kUsageExitCode);
        EXPECT_FALSE(err_.str().empty());
        return err_.str();
    }

    testing::TempDir dir_;
    std::string settingsFile_;
    std::ostringstream out_;
    std::ostringstream err_;
    int exitCode_ = -1;
};

TEST_F(NodeOptionsTest, TheSettingsFileGivesTheStartValues) {
    const std::optional<NodeOptions> options = Parse({settingsFile_});
    ASSERT_TRUE(options);
    EXPECT_EQ(exitCode_, 0);
    EXPECT_EQ(options->settings.nickname, "FromFile");
    EXPECT_EQ(options->settings.ownPort, 9001);
    EXPECT_EQ(options->settings.ownIp, ParseIpv4("10.0.0.5"));
    EXPECT_EQ(options->settings.center, (PeerAddress{ParseIpv4("10.0.0.1"), 7000}));
    EXPECT_FALSE(options->autoReply);
    EXPECT_EQ(options->format, EventFormat::Text);
}

TEST_F(NodeOptionsTest, OptionsOverrideTheSettingsFile) {
    const std::optional<NodeOptions> options =
        Parse({"--nick", "Cli", "--ip", "127.0.0.1", "--port", "40000", "--center",
               "127.0.0.2:65535", "--auto-reply", "yes", "--json", settingsFile_});
    ASSERT_TRUE(options);
    EXPECT_EQ(options->settings.nickname, "Cli");
    EXPECT_EQ(options->settings.ownIp, ParseIpv4("127.0.0.1"));
    EXPECT_EQ(options->settings.ownPort, 40000);  // above 32767, kept as itself
    EXPECT_EQ(options->settings.center, (PeerAddress{ParseIpv4("127.0.0.2"), 65535}));
    EXPECT_EQ(options->autoReply, "yes");
    EXPECT_EQ(options->format, EventFormat::Json);
}

TEST_F(NodeOptionsTest, EmptyAutoReplyIsAnEmptyReplyNotNone) {
    const std::optional<NodeOptions> options = Parse({"--auto-reply", "", settingsFile_});
    ASSERT_TRUE(options);
    EXPECT_EQ(options->autoReply, "");
}

TEST_F(NodeOptionsTest, WithoutAFileTheDefaultsHold) {
    const std::optional<NodeOptions> options = Parse({(dir_.Path() / "missing.ini").string()});
    ASSERT_TRUE(options);
    EXPECT_EQ(options->settings.nickname, ParlonSettings::kDefaultNickname);
    EXPECT_EQ(options->settings.ownPort, ParlonSettings::kDefaultOwnPort);
}

TEST_F(NodeOptionsTest, PortMustBeANumberFrom1To65535) {
    EXPECT_NE(Refusal({"--port", "abc", settingsFile_}).find("Please enter an integer."),
              std::string::npos);
    EXPECT_NE(Refusal({"--port", "0", settingsFile_}).find("1 to 65535"), std::string::npos);
    EXPECT_NE(Refusal({"--port", "65536", settingsFile_}).find("1 to 65535"), std::string::npos);
    EXPECT_NE(Refusal({"--port", "-5", settingsFile_}).find("1 to 65535"), std::string::npos);
    EXPECT_NE(Refusal({"--port", "", settingsFile_}).find("Please enter an integer."),
              std::string::npos);
    ASSERT_TRUE(Parse({"--port", "1", settingsFile_}));
    ASSERT_TRUE(Parse({"--port", " 65535 ", settingsFile_}));
}

TEST_F(NodeOptionsTest, NicknameMayHoldTwelveBytesOfUtf8AndNoMore) {
    ASSERT_TRUE(Parse({"--nick", "twelve_chars", settingsFile_}));
    ASSERT_TRUE(
        Parse({"--nick", "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", settingsFile_}));
    EXPECT_NE(Refusal({"--nick", "thirteen_char", settingsFile_}).find("no more than 12"),
              std::string::npos);
    Refusal({"--nick", "bad\xFF", settingsFile_});
}

TEST_F(NodeOptionsTest, ANicknameTooLongInTheSettingsFileIsRefusedNamingTheFile) {
    const std::string file =
        dir_.Write("long.ini", "[Client Params]\nNickname=ThirteenBytes\n").string();
    const std::string error = Refusal({file});
    EXPECT_NE(error.find("long.ini"), std::string::npos);
    EXPECT_NE(error.find("no more than 12"), std::string::npos);
    // The option replaces the file's value, so the file's value no longer matters.
    EXPECT_TRUE(Parse({"--nick", "Short", file}));
}

TEST_F(NodeOptionsTest, APortZeroInTheSettingsFileIsRefused) {
    const std::string file = dir_.Write("zero.ini", "[Client Params]\nPort Num=65536\n").string();
    EXPECT_NE(Refusal({file}).find("1 to 65535"), std::string::npos);  // its low 16 bits are 0
    EXPECT_TRUE(Parse({"--port", "9000", file}));
}

TEST_F(NodeOptionsTest, IpMustBeADottedAddress) {
    Refusal({"--ip", "127.0.0", settingsFile_});
    Refusal({"--ip", "256.0.0.1", settingsFile_});
    Refusal({"--ip", "localhost", settingsFile_});
    Refusal({"--ip", "", settingsFile_});
}

TEST_F(NodeOptionsTest, CenterMustBeAnAddressAndAPort) {
    Refusal({"--center", "127.0.0.1", settingsFile_});
    Refusal({"--center", "127.0.0.1:", settingsFile_});
    Refusal({"--center", ":7878", settingsFile_});
    Refusal({"--center", "127.0.0:7878", settingsFile_});
    EXPECT_NE(Refusal({"--center", "127.0.0.1:0", settingsFile_}).find("1 to 65535"),
              std::string::npos);
    EXPECT_NE(Refusal({"--center", "127.0.0.1:x", settingsFile_}).find("Please enter an integer."),
              std::string::npos);
}

TEST_F(NodeOptionsTest, AutoReplyMustFitTheReplyBox) {
    ASSERT_TRUE(Parse({"--auto-reply", std::string(110, 'r'), settingsFile_}));
    Refusal({"--auto-reply", std::string(111, 'r'), settingsFile_});
    Refusal({"--auto-reply", "bad\xC3", settingsFile_});
}

TEST_F(NodeOptionsTest, UnknownOptionsAndASecondFileAreRefused) {
    Refusal({"--verbose", settingsFile_});
    Refusal({settingsFile_, settingsFile_});
    Refusal({"--port"});
}

TEST_F(NodeOptionsTest, HelpAndVersionEndAtOnceWithStatusZero) {
    EXPECT_FALSE(Parse({"--help"}));
    EXPECT_EQ(exitCode_, 0);
    EXPECT_NE(out_.str().find("--auto-reply"), std::string::npos);
    EXPECT_FALSE(Parse({"--version"}));
    EXPECT_EQ(exitCode_, 0);
    EXPECT_NE(out_.str().find("parlon-cli 9.8.7"), std::string::npos);
}

TEST_F(NodeOptionsTest, EveryWrongValueIsReportedNotJustTheFirst) {
    const std::string error = Refusal({"--port", "0", "--nick", "thirteen_char", settingsFile_});
    EXPECT_NE(error.find("--port"), std::string::npos);
    EXPECT_NE(error.find("--nick"), std::string::npos);
}

}  // namespace
}  // namespace parlon
