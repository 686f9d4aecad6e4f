#include "cli/cli_node.h"

#include <utility>

#include "cli/command_parser.h"

namespace parlon {

CliNode::CliNode(asio::io_context& io, const NodeOptions& options, std::unique_ptr<ActivityLog> log,
                 SessionServices services, EventSink sink)
    : m_sink(std::move(sink)),
      m_timers(io),
      m_host(
          UserFields{options.settings.nickname, options.settings.ownIp, options.settings.ownPort},
          m_timers, m_sink, options.autoReply),
      m_session(m_host, std::move(log), std::move(services), options.settings) {
    m_host.Attach(m_session);
}

CliNode::~CliNode() = default;

void CliNode::Start() {
    m_session.Start();
    m_host.Execute(Command{CommandKind::Connect, 0, {}});
}

TerminalHost::Outcome CliNode::HandleLine(std::string_view line) {
    const ParsedCommand parsed = ParseCommand(line);
    if (!parsed.valid) {
        m_sink(ErrorEvent{parsed.error});
        return TerminalHost::Outcome::Continue;
    }
    return m_host.Execute(parsed.command);
}

void CliNode::Quit() {
    m_host.Execute(Command{CommandKind::Quit, 0, {}});
}

}  // namespace parlon
