#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings/ini_file.h"
#include "settings/parlon_settings.h"
#include "support/temp_dir.h"

namespace parlon {
namespace {

TEST(IniFile, NamesMatchWithoutRegardToCaseAndValuesAreTrimmed) {
    const IniFile ini = IniFile::Parse(
        "; a comment\n"
        "# another comment\n"
        "[  client PARAMS ]\r\n"
        "  NICKNAME =   Alice Smith  \r\n"
        "port num=9001\n"
        "no equals sign here\n"
        "Quoted=\"  spaced  \"\n");
    EXPECT_EQ(ini.GetString("Client Params", "Nickname", "x"), "Alice Smith");
    EXPECT_EQ(ini.GetInt("CLIENT params", "Port Num", 1), 9001);
    EXPECT_EQ(ini.GetString("Client Params", "Quoted", "x"), "  spaced  ");
    EXPECT_EQ(ini.GetString("Client Params", "no equals sign here", "default"), "default");
}

TEST(IniFile, FirstOccurrenceOfAKeyWins) {
    const IniFile ini = IniFile::Parse(
        "[S]\nkey=first\nKEY=second\n"
        "[Other]\nkey=elsewhere\n"
        "[s]\nkey=third\nlate=found\n");
    EXPECT_EQ(ini.GetString("S", "key", ""), "first");
    EXPECT_EQ(ini.GetString("S", "late", ""), "found");
    EXPECT_EQ(ini.GetString("Other", "key", ""), "elsewhere");
}

TEST(IniFile, TextsAreCutToNineteenCharacters) {
    const IniFile ini = IniFile::Parse("[S]\nlong=abcdefghijklmnopqrstuvwxyz\nexact=abcdefghijklmnopqrs\n");
    EXPECT_EQ(ini.GetString("S", "long", ""), "abcdefghijklmnopqrs");
    EXPECT_EQ(ini.GetString("S", "exact", ""), "abcdefghijklmnopqrs");
    // Defaults are cut the same way: they go through the same 20-character buffer.
    EXPECT_EQ(ini.GetString("S", "missing", "a default that is too long"), "a default that is t");
}

TEST(IniFile, IntegersComeFromTheLeadingDigits) {
    const IniFile ini = IniFile::Parse(
        "[S]\ndigits=40000\ntrailing=123abc\nletters=abc\nempty=\nnegative=-5\nplus=+7\n"
        "huge=4294967297\nspaced = 12 34\n");
    EXPECT_EQ(ini.GetInt("S", "digits", 0), 40000);
    EXPECT_EQ(ini.GetInt("S", "trailing", 0), 123);
    EXPECT_EQ(ini.GetInt("S", "letters", 99), 0);
    EXPECT_EQ(ini.GetInt("S", "empty", 99), 99);
    EXPECT_EQ(ini.GetInt("S", "negative", 0), -5);
    EXPECT_EQ(ini.GetInt("S", "plus", 0), 7);
    EXPECT_EQ(ini.GetInt("S", "huge", 0), 1);  // wraps modulo 2^32
    EXPECT_EQ(ini.GetInt("S", "spaced", 0), 12);
    EXPECT_EQ(ini.GetInt("S", "missing", 42), 42);
    EXPECT_EQ(ini.GetInt("Missing", "digits", 42), 42);
}

TEST(IniFile, KeysBeforeAnySectionAndInBrokenHeadersAreIgnored) {
    const IniFile ini = IniFile::Parse("key=orphan\n[S\nkey=broken\n[T]\nkey=ok");
    EXPECT_EQ(ini.GetString("S", "key", "none"), "none");
    EXPECT_EQ(ini.GetString("T", "key", "none"), "ok");
}

class ParlonSettingsTest : public ::testing::Test {
protected:
    testing::TempDir dir_;
};

TEST_F(ParlonSettingsTest, NoFileGivesEveryDefault) {
    const ParlonSettings settings = LoadSettings(dir_.Path() / "absent.ini");
    EXPECT_EQ(settings.ownPort, 8888);
    EXPECT_EQ((PeerAddress{settings.ownIp, 0}).IpText(), "127.0.0.1");
    EXPECT_EQ(settings.nickname, "Insert Nick");
    EXPECT_EQ(settings.center.IpText(), "127.0.0.1");
    EXPECT_EQ(settings.center.port, 7878);
}

TEST_F(ParlonSettingsTest, EveryKeyIsReadFromItsSection) {
    const auto path = dir_.Write("Parlon.ini",
                                 "[Server Params]\nIP Address=10.0.0.1\nPort Num=7000\n\n"
                                 "[Client Params]\nIP Address=192.168.1.20\nPort Num=40000\n"
                                 "Nickname=FifteenCharsXYZ\n");
    const ParlonSettings settings = LoadSettings(path);
    EXPECT_EQ(settings.ownPort, 40000);  // unsigned: never -25536
    EXPECT_EQ((PeerAddress{settings.ownIp, 0}).IpText(), "192.168.1.20");
    EXPECT_EQ(settings.nickname, "FifteenCharsXYZ");  // shown whole; the 12-byte limit is for typing
    EXPECT_EQ(settings.center.IpText(), "10.0.0.1");
    EXPECT_EQ(settings.center.port, 7000);
}

TEST_F(ParlonSettingsTest, PortsKeepTheirLowSixteenBitsAndBadAddressesBecomeAllOnes) {
    const auto path = dir_.Write("odd.ini",
                                 "[client params]\nport num=70000\nip address=not.an.ip\n"
                                 "nickname=a nickname longer than nineteen\n");
    const ParlonSettings settings = LoadSettings(path);
    EXPECT_EQ(settings.ownPort, 4464);
    EXPECT_EQ(settings.ownIp, 0xFFFFFFFFu);
    EXPECT_EQ(settings.nickname, "a nickname longer t");
}

TEST_F(ParlonSettingsTest, AFileWithOnlyServerParamsLeavesTheOwnFieldsAtDefaults) {
    const auto path = dir_.Write("server.ini", "[Server Params]\nPort Num=7001\n");
    const ParlonSettings settings = LoadSettings(path);
    EXPECT_EQ(settings.ownPort, 8888);
    EXPECT_EQ(settings.nickname, "Insert Nick");
    EXPECT_EQ(settings.center.port, 7001);
}

TEST(SettingsPathTest, ExactlyOneArgumentNamesTheFile) {
    using Args = std::vector<std::string>;
    EXPECT_EQ(SettingsPath(Args{}), std::filesystem::path("./Parlon.ini"));
    EXPECT_EQ(SettingsPath(Args{"node.ini"}), std::filesystem::path("./node.ini"));
    EXPECT_EQ(SettingsPath(Args{"/etc/parlon/node.ini"}), std::filesystem::path("/etc/parlon/node.ini"));
    EXPECT_EQ(SettingsPath(Args{"conf/node.ini"}), std::filesystem::path("conf/node.ini"));
    EXPECT_EQ(SettingsPath(Args{"a.ini", "b.ini"}), std::filesystem::path("./Parlon.ini"));
}

}  // namespace
}  // namespace parlon
