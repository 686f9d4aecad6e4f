// ParlonSettings: the start values of a parlon, read once from its settings file.
//
// Used by both hosts (the window and the headless node).
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "common/wire_records.h"

namespace parlon {

struct ParlonSettings {
    static constexpr uint16_t kDefaultOwnPort = 8888;
    static constexpr uint16_t kDefaultCenterPort = 7878;
    static constexpr const char* kDefaultIpText = "127.0.0.1";
    static constexpr const char* kDefaultNickname = "Insert Nick";

    uint16_t ownPort = kDefaultOwnPort;  // low 16 bits of "Port Num", unsigned
    uint32_t ownIp = 0;                  // network byte order; 255.255.255.255 when unparsable
    std::string nickname = kDefaultNickname;
    PeerAddress center;
    // "Private Log" = 1: the activity log leaves out message texts, recipients' nicknames and
    // hop addresses (its lines keep their form otherwise).
    bool privateLog = false;
};

// The settings file named by the command line: the one argument when there is exactly one
// (a bare file name is looked up in the current working directory), otherwise "Parlon.ini"
// in the current working directory. `arguments` excludes the program name.
std::filesystem::path SettingsPath(std::span<const std::string> arguments);

// Reads "Client Params" and "Server Params" from `path`; whatever is missing takes its default.
ParlonSettings LoadSettings(const std::filesystem::path& path);

}  // namespace parlon
