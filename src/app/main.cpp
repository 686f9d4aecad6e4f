// parlon: the desktop program, one parlon of the network with a window.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/parlon_app.h"
#include "common/core_dumps.h"

int main(int argc, char** argv) {
    parlon::KeepOutOfCoreDumps();  // a system that refuses leaves the program as it was
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (const std::optional<std::string> text = parlon::InformationRequest(arguments)) {
        std::fputs(text->c_str(), stdout);
        return 0;
    }
    parlon::CParlonApp app(argc, argv);
    return app.Run();
}
