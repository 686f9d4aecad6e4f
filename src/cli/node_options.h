// The command line of parlon-cli:
//
//   parlon-cli [--nick NAME] [--ip A.B.C.D] [--port N] [--center A.B.C.D:PORT]
//              [--auto-reply TEXT] [--json] [--private-log] [--help] [--version]
//              [SETTINGS_FILE]
//
// The settings file is found and read as the window does it (SettingsPath, LoadSettings); the
// options override its values. Every value, from the file or the command line, must pass the
// rules of the window's fields (a nickname of at most 12 bytes, a port from 1 to 65535), except
// that --port 0 asks the system for a free port, which the `listening` event then names.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "cli/node_event.h"
#include "settings/parlon_settings.h"

namespace parlon {

struct NodeOptions {
    ParlonSettings settings;  // the file's values with the overrides applied
    std::optional<std::string> autoReply;
    EventFormat format = EventFormat::Text;
};

// Exit status of a wrong command line or settings value.
inline constexpr int kUsageExitCode = 2;

// Reads the arguments (argv[0] is the program) and the settings file. Returns nullopt when the
// program is to end at once, with `exitCode` set: 0 after --help or --version (written to
// `out`), kUsageExitCode after a wrong argument or value (the reason written to `err`).
std::optional<NodeOptions> ParseNodeCommandLine(int argc, const char* const* argv,
                                                std::string_view version, std::ostream& out,
                                                std::ostream& err, int& exitCode);

}  // namespace parlon
