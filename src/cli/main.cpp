// parlon-cli: a parlon without a window, for terminals, servers and scripts.
#include "cli/node_loop.h"

int main(int argc, char** argv) {
    return parlon::RunNode(argc, argv, PARLON_VERSION);
}
