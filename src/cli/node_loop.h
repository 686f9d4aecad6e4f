// The event loop of parlon-cli: reads the command line, opens "Activity.log" in the working
// directory, runs one CliNode on an io_context on the calling thread, with standard input read
// on a thread of its own (each line posted to the io_context) and SIGINT, SIGTERM and SIGHUP
// acting as `quit`. End of input does not stop the node.
//
// Exit status: 0 after `quit` or a signal; 1 when the activity log cannot be opened or written
// (the file and the reason on standard error); 2 after a wrong command line or settings value.
#pragma once

#include <string_view>

namespace parlon {

// Runs the node until it quits; returns the exit status. Prints events on standard output.
int RunNode(int argc, const char* const* argv, std::string_view version);

}  // namespace parlon
