#include "app/command_line.h"

namespace parlon {

std::optional<std::string> InformationRequest(std::span<const std::string> arguments) {
    if (arguments.size() != 1) {
        return std::nullopt;
    }
    if (arguments.front() == "--version") {
        return "parlon " PARLON_VERSION "\n";
    }
    if (arguments.front() == "--help") {
        return "Usage: parlon [SETTINGS-FILE]\n"
               "       parlon --help | --version\n"
               "\n"
               "Parlon is one node of a small network for anonymous text messages. Its window\n"
               "takes the nickname, the own IPv4 address and the own port; Connect registers at\n"
               "the center; a double click on a parlon of the list writes it a message.\n"
               "\n"
               "  SETTINGS-FILE  the settings file to start from (default: Parlon.ini in the\n"
               "                 current directory; a bare file name is looked up there too).\n"
               "                 [Client Params] Port Num, IP Address, Nickname: the own values;\n"
               "                 [Server Params] Port Num, IP Address: the center.\n"
               "  --help         print this text and exit\n"
               "  --version      print the version and exit\n"
               "\n"
               "Every step is appended to Activity.log in the current directory. Qt's own\n"
               "options (for example -platform offscreen) may come before SETTINGS-FILE.\n";
    }
    return std::nullopt;
}

}  // namespace parlon
