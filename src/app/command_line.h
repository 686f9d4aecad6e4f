// The command line of the desktop program: `parlon [SETTINGS-FILE]`, or `parlon --help` or
// `parlon --version`, which print and end without opening a window (so they work without a
// display). Any other single argument is the settings file.
#pragma once

#include <optional>
#include <span>
#include <string>

namespace parlon {

// The text `--help` or `--version` prints, or nullopt when the program is to start.
// `arguments` excludes the program name.
std::optional<std::string> InformationRequest(std::span<const std::string> arguments);

}  // namespace parlon
