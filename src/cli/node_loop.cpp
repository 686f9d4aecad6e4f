#include "cli/node_loop.h"

#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <csignal>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "cli/cli_node.h"
#include "cli/command_parser.h"
#include "cli/line_reader.h"
#include "cli/node_options.h"
#include "log/activity_log.h"

namespace parlon {

namespace {

constexpr const char* kActivityLogName = "Activity.log";

// Prints each event as one line and flushes it, so that a script reading the pipe sees it at once.
EventSink PrintEvents(std::ostream& out, EventFormat format) {
    return [&out, format](const NodeEvent& event) {
        out << FormatEvent(event, format) << '\n' << std::flush;
    };
}

int RunOpenedNode(const NodeOptions& options, std::unique_ptr<ActivityLog> log) {
    asio::io_context io(1);
    CliNode node(io, options, std::move(log), SessionServices::Real(),
                 PrintEvents(std::cout, options.format));
    bool quitting = false;
    const auto finish = [&io, &quitting] {
        quitting = true;
        io.stop();  // lines and ticks still queued are dropped; the node is torn down below
    };

    // SIGHUP too: a terminal that closes must not end the node without its sign-off.
    asio::signal_set signals(io, SIGINT, SIGTERM, SIGHUP);
    signals.async_wait([&](std::error_code error, int) {
        if (!error && !quitting) {
            node.Quit();
            finish();
        }
    });
    LineReader input(STDIN_FILENO, kMaxCommandLineBytes, [&](std::string line) {
        asio::post(io, [&, line = std::move(line)] {
            if (!quitting && node.HandleLine(line) == TerminalHost::Outcome::Quit) {
                finish();
            }
        });
    });

    node.Start();
    io.run();
    input.Stop();  // before `io` and `node` go: the reader posts to them
    return 0;
}

}  // namespace

int RunNode(int argc, const char* const* argv, std::string_view version) {
    int exitCode = 0;
    const std::optional<NodeOptions> options =
        ParseNodeCommandLine(argc, argv, version, std::cout, std::cerr, exitCode);
    if (!options) {
        return exitCode;
    }
    // A reader that closed our standard output must not end the node before it signs off.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return RunOpenedNode(*options, std::make_unique<ActivityLog>(kActivityLogName));
    } catch (const std::exception& failure) {
        // The log cannot be opened or written (its what() names the file and the reason), or the
        // node cannot start at all.
        std::cerr << "parlon-cli: " << failure.what() << "\n";
        return 1;
    }
}

}  // namespace parlon
