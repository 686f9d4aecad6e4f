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

// Each file named on the command line (none for a missing one) with the settings it gives.
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
        // The first occurrence of a key wins; comments and lines without "=" are no keys.
        {"Port Num=1\n[Server Params]\nIP Address=10.0.0.1\nPort Num=7000abc\n\n"
         "[ client PARAMS ]\r\n; Port Num=1\nIP Address=192.168.1.20\r\n  port num = 40000 \n"
         "Nickname\nNickname=FifteenCharsXYZ\nPrivate Log=1\n[Server Params]\nPort Num=1\n",
         40000, "192.168.1.20", "FifteenCharsXYZ", "10.0.0.1", 7000, true},
        {"[client params]\nport num=70000\nip address=not.an.ip\n"
         "nickname=a nickname longer than nineteen\nprivate log=0\n",
         4464, "255.255.255.255", "a nickname longer t", "127.0.0.1", 7878},
        {"[Server Params]\nPort Num=7001\nPrivate Log=1\n", 8888, "127.0.0.1", "Insert Nick",
         "127.0.0.1", 7001},
    };
    for (const Case& c : cases) {
        const test::TempDir dir;
        // A path is taken as it is; a bare name is looked up in the working directory.
        const std::string given = c.file ? dir.Write("Parlon.ini", *c.file).string() : "absent.ini";
        const ParlonSettings settings = LoadSettings(SettingsPath(std::vector{given}));
        EXPECT_EQ(
            std::tuple(settings.ownPort, PeerAddress{settings.ownIp, 0}.IpText(), settings.nickname,
                       settings.center.IpText(), settings.center.port, settings.privateLog),
            std::tuple(c.ownPort, c.ownIp, c.nickname, c.centerIp, c.centerPort, c.privateLog))
            << given;
    }
}

}  // namespace
}  // namespace parlon
