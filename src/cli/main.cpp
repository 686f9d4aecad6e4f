// parlon-cli: a parlon without a window, for terminals, servers and scripts.
#include "cli/node_loop.h"
#include "common/core_dumps.h"

int main(int argc, char** argv) {
    parlon::KeepOutOfCoreDumps();  // a system that refuses leaves the node as it was
    return parlon::RunNode(argc, argv, PARLON_VERSION);
}
