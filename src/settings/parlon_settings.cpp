#include "settings/parlon_settings.h"

#include "settings/ini_file.h"

namespace parlon {

namespace {

constexpr const char* kClientSection = "Client Params";
constexpr const char* kServerSection = "Server Params";
constexpr const char* kPortKey = "Port Num";
constexpr const char* kIpKey = "IP Address";
constexpr const char* kNicknameKey = "Nickname";
constexpr const char* kPrivateLogKey = "Private Log";
constexpr const char* kDefaultFileName = "Parlon.ini";

uint16_t LowPortBits(int32_t value) {
    return static_cast<uint16_t>(static_cast<uint32_t>(value) & 0xFFFFu);
}

}  // namespace

std::filesystem::path SettingsPath(std::span<const std::string> arguments) {
    if (arguments.size() != 1) {
        return std::filesystem::path(".") / kDefaultFileName;
    }
    const std::string& argument = arguments.front();
    if (argument.find('/') == std::string::npos) {
        return std::filesystem::path(".") / argument;
    }
    return argument;
}

ParlonSettings LoadSettings(const std::filesystem::path& path) {
    const IniFile ini = IniFile::Load(path);
    ParlonSettings settings;
    settings.ownPort =
        LowPortBits(ini.GetInt(kClientSection, kPortKey, ParlonSettings::kDefaultOwnPort));
    settings.ownIp =
        ParseIpv4(ini.GetString(kClientSection, kIpKey, ParlonSettings::kDefaultIpText));
    settings.nickname =
        ini.GetString(kClientSection, kNicknameKey, ParlonSettings::kDefaultNickname);
    settings.privateLog = ini.GetInt(kClientSection, kPrivateLogKey, 0) != 0;
    settings.center.port =
        LowPortBits(ini.GetInt(kServerSection, kPortKey, ParlonSettings::kDefaultCenterPort));
    settings.center.ip =
        ParseIpv4(ini.GetString(kServerSection, kIpKey, ParlonSettings::kDefaultIpText));
    return settings;
}

}  // namespace parlon
