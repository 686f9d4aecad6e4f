// CliNode: one headless parlon on an io_context: the timers, the terminal host and the session
// it hosts. parlon-cli runs one; the round-trip benchmark runs several in one process.
//
// Owns the host and the session; `io` must outlive the node.
//
// THREAD SAFETY: every member is called on the thread that runs `io`, which is also where the
// timers tick and the events are handed to the sink.
#pragma once

#include <asio/io_context.hpp>
#include <memory>
#include <string_view>

#include "cli/node_event.h"
#include "cli/node_options.h"
#include "cli/repeating_timer.h"
#include "cli/terminal_host.h"
#include "log/activity_log.h"
#include "session/parlon_session.h"
#include "session/session_services.h"

namespace parlon {

class CliNode {
  public:
    CliNode(asio::io_context& io, const NodeOptions& options, std::unique_ptr<ActivityLog> log,
            SessionServices services, EventSink sink);
    // Teardown: the session goes first (it signs off at the center when registered), then the
    // host with its timers and forms.
    ~CliNode();
    CliNode(const CliNode&) = delete;
    CliNode& operator=(const CliNode&) = delete;

    // Writes the start line and presses Connect (key generation and registration happen here,
    // on the caller's thread).
    void Start();

    // Carries out one line of input; a line that is not a command prints an error event.
    TerminalHost::Outcome HandleLine(std::string_view line);

    // Exit without a `quit` line (a signal): writes the end line.
    void Quit();

    const ParlonSession& Session() const noexcept { return m_session; }

  private:
    const EventSink m_sink;
    AsioTimerFactory m_timers;
    TerminalHost m_host;
    ParlonSession m_session;
};

}  // namespace parlon
