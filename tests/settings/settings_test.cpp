#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "settings/ini_file.h"
#include "settings/parlon_settings.h"
#include "support/temp_dir.h"

namespace parlon {
namespace {

// Texts and defaults are cut to nineteen characters.
TEST(IniFile, NamesMatchWithoutRegardToCaseAndTheFirstOccurrenceOfAKeyWins) {
    const IniFile ini = IniFile::Parse(
        "key=before any section\n"
        "; a comment\n"
        "# another comment\n"
        "[  client PARAMS ]\r\n"
        "  NICKNAME =   Alice Smith  \r\n"
        "port num=9001\n"
        "no equals sign here\n"
        "Quoted=\"  spaced  \"\n"
        "long=abcdefghijklmnopqrstuvwxyz\nexact=abcdefghijklmnopqrs\n"
        "nickname=second\n"
        "[Other]\nkey=elsewhere\n"
        "[CLIENT params]\nNickname=third\nlate=found\n"
        "[Broken\nkey=in a broken section\n");
    EXPECT_EQ(ini.GetString("Client Params", "Nickname", "x"), "Alice Smith");
    EXPECT_EQ(ini.GetInt("CLIENT params", "Port Num", 1), 9001);
    EXPECT_EQ(ini.GetString("Client Params", "Quoted", "x"), "  spaced  ");
    EXPECT_EQ(ini.GetString("Client Params", "no equals sign here", "default"), "default");
    EXPECT_EQ(ini.GetString("Client Params", "late", ""), "found");
    EXPECT_EQ(ini.GetString("Other", "key", ""), "elsewhere");
    EXPECT_EQ(ini.GetString("Broken", "key", "none"), "none");
    EXPECT_EQ(ini.GetString("Client Params", "key", "none"), "none");
    EXPECT_EQ(ini.GetString("", "key", "none"), "none");
    EXPECT_EQ(ini.GetString("Client Params", "long", ""), "abcdefghijklmnopqrs");
    EXPECT_EQ(ini.GetString("Client Params", "exact", ""), "abcdefghijklmnopqrs");
    EXPECT_EQ(ini.GetString("S", "missing", "a default that is too long"), "a default that is t");
}

TEST(IniFile, IntegersComeFromTheLeadingDigits) {
    const std::vector<std::pair<std::string, int32_t>> cases = {
        {"40000", 40000}, {"123abc", 123}, {"abc", 0}, {"", 99},          {"-5", -5},
        {"+7", 7},        {"12 34", 12},   {" 8 ", 8}, {"4294967297", 1},  // wraps modulo 2^32
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(IniFile::Parse("[S]\nkey=" + value + "\n").GetInt("S", "key", 99), expected)
            << value;
    }
    EXPECT_EQ(IniFile::Parse("[S]\n").GetInt("S", "key", 42), 42);
    EXPECT_EQ(IniFile::Parse("").GetInt("S", "key", 42), 42);
}

// Each file (none for a missing one) with the settings it gives: own port, own address, nickname,
// center address and port.
TEST(ParlonSettingsTest, EveryKeyComesFromItsSectionOrTakesItsDefault) {
    struct Case {
        std::optional<std::string> file;
        uint16_t ownPort;
        std::string ownIp, nickname, centerIp;
        uint16_t centerPort;
        bool privateLog = false;
    };
    const std::vector<Case> cases = {
        {std::nullopt, 8888, "127.0.0.1", "Insert Nick", "127.0.0.1", 7878},
        {"[Server Params]\nIP Address=10.0.0.1\nPort Num=7000\n\n"
         "[Client Params]\nIP Address=192.168.1.20\nPort Num=40000\nNickname=FifteenCharsXYZ\n"
         "Private Log=1\n",
         40000, "192.168.1.20", "FifteenCharsXYZ", "10.0.0.1", 7000, true},
        {"[client params]\nport num=70000\nip address=not.an.ip\n"
         "nickname=a nickname longer than nineteen\nprivate log=0\n",
         4464, "255.255.255.255", "a nickname longer t", "127.0.0.1", 7878},
        {"[Server Params]\nPort Num=7001\nPrivate Log=1\n", 8888, "127.0.0.1", "Insert Nick",
         "127.0.0.1", 7001},
    };
    for (const Case& c : cases) {
        const test::TempDir dir;
        const std::string file = c.file.value_or("(no file)");
        const ParlonSettings settings =
            LoadSettings(c.file ? dir.Write("Parlon.ini", *c.file) : dir.Path() / "absent.ini");
        EXPECT_EQ(
            std::tuple(settings.ownPort, PeerAddress{settings.ownIp, 0}.IpText(), settings.nickname,
                       settings.center.IpText(), settings.center.port, settings.privateLog),
            std::tuple(c.ownPort, c.ownIp, c.nickname, c.centerIp, c.centerPort, c.privateLog))
            << file;
    }
}

TEST(SettingsPathTest, ExactlyOneArgumentNamesTheFile) {
    using Args = std::vector<std::string>;
    const std::vector<std::pair<Args, std::string>> cases = {
        {{}, "./Parlon.ini"},
        {{"node.ini"}, "./node.ini"},
        {{"/etc/parlon/node.ini"}, "/etc/parlon/node.ini"},
        {{"conf/node.ini"}, "conf/node.ini"},
        {{"a.ini", "b.ini"}, "./Parlon.ini"},
    };
    for (const auto& [arguments, expected] : cases) {
        EXPECT_EQ(SettingsPath(arguments), std::filesystem::path(expected)) << arguments.size();
    }
}

}  // namespace
}  // namespace parlon
