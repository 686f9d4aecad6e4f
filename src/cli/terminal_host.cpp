#include "cli/terminal_host.h"

#include <algorithm>
#include <cassert>
#include <utility>

#include "common/utf8_text.h"

namespace parlon {

TerminalHost::TerminalHost(UserFields fields, TimerFactory& timers, EventSink sink,
                           std::optional<std::string> autoReply)
    : m_fields(std::move(fields)),
      m_timers(timers),
      m_sink(std::move(sink)),
      m_autoReply(std::move(autoReply)) {}

TerminalHost::~TerminalHost() = default;

void TerminalHost::Attach(ParlonSession& session) {
    assert(m_session == nullptr);
    m_session = &session;
}

TerminalHost::Outcome TerminalHost::Execute(const Command& command) {
    assert(m_session != nullptr);
    switch (command.kind) {
        case CommandKind::None:
            break;
        case CommandKind::Send:
            Send(command.number, command.text);
            break;
        case CommandKind::Reply:
            Reply(command.number, command.text);
            break;
        case CommandKind::List:
            m_sink(ListEventOf(m_shownParlons));
            break;
        case CommandKind::Connect:
            PressConnect();
            break;
        case CommandKind::Disconnect:
            PressDisconnect();
            break;
        case CommandKind::Quit:
            m_session->OnExit();
            return Outcome::Quit;
        case CommandKind::Ticks:
            m_sink(TicksEvent{
                std::chrono::duration<double, std::milli>(std::exchange(m_longestPollTick, {}))
                    .count()});
            break;
    }
    return Outcome::Continue;
}

void TerminalHost::Send(uint32_t row, const std::string& text) {
    const size_t rows = m_shownParlons.size();
    if (row >= rows) {
        Error("row " + std::to_string(row) + " names no parlon of the list (" +
              (rows == 0 ? std::string("it is empty") : "rows 0 to " + std::to_string(rows - 1)) +
              ")");
        return;
    }
    // A compose form has no countdown: OK queues the message at once.
    TerminalForm compose(
        MessageForm::Compose(*m_session, MessageRecipient::Of(m_shownParlons[row])), m_timers,
        text);
    compose.PressOK();
}

void TerminalHost::Reply(uint32_t messageId, const std::string& text) {
    DropFinishedAnswers();
    for (const auto& answer : m_answers) {
        if (answer->Form().MessageId() == messageId) {
            answer->Answer(text);
            DropFinishedAnswers();
            return;
        }
    }
    Error("no message " + std::to_string(messageId) + " is waiting for an answer");
}

void TerminalHost::PressConnect() {
    if (!m_connectEnabled) {
        Error("connect: already connecting or connected (disconnect first)");
        return;
    }
    m_session->OnConnect();
}

void TerminalHost::PressDisconnect() {
    if (m_connectEnabled) {
        Error("disconnect: not connected");
        return;
    }
    m_session->OnDisconnect();
}

void TerminalHost::Error(std::string text) {
    m_sink(ErrorEvent{std::move(text)});
}

void TerminalHost::DropFinishedAnswers() {
    m_answers.remove_if([](const auto& answer) { return answer->Form().IsFinished(); });
}

bool TerminalHost::ReadFields(UserFields& fields) {
    // Nothing is typed after start: the fields hold what the command line and settings gave.
    fields = m_fields;
    return true;
}

void TerminalHost::InitFields(const std::string& status, const UserFields&) {
    m_sink(StatusEvent{status});
}

void TerminalHost::ShowStatus(const std::string& status, const std::string&, uint16_t) {
    m_sink(StatusEvent{status});
}

void TerminalHost::EnableConnect(bool connectEnabled) {
    m_connectEnabled = connectEnabled;
}

void TerminalHost::SetTimer(uint32_t id, uint32_t periodMs) {
    std::unique_ptr<RepeatingTimer>& timer = m_sessionTimers[id];
    if (timer == nullptr) {
        timer = m_timers.MakeTimer([this, id] {
            const auto started = std::chrono::steady_clock::now();
            m_session->OnTimer(id);
            if (id == kPollTimer) {
                m_longestPollTick =
                    std::max(m_longestPollTick, std::chrono::steady_clock::now() - started);
            }
        });
    }
    timer->Start(periodMs);
}

void TerminalHost::KillTimer(uint32_t id) {
    if (const auto timer = m_sessionTimers.find(id); timer != m_sessionTimers.end()) {
        timer->second->Stop();
    }
}

void TerminalHost::RebuildListView(const std::vector<ParlonEntry>& parlons) {
    m_shownParlons = parlons;
    m_sink(ListEventOf(m_shownParlons));
}

void TerminalHost::OpenAnswerForm(const ByteBuffer& text, const ReplyHandle& message,
                                  int32_t replyTimeMs) {
    DropFinishedAnswers();
    auto answer = std::make_unique<TerminalForm>(
        MessageForm::Answer(*m_session, text, message, replyTimeMs), m_timers);
    m_sink(MessageEvent{message.MessageId(), answer->Form().MessageText(), replyTimeMs});
    if (m_autoReply) {
        answer->Answer(*m_autoReply);
    }
    if (!answer->Form().IsFinished()) {
        m_answers.push_back(std::move(answer));
    }
}

void TerminalHost::OpenViewForm(const ByteBuffer& result) {
    const MessageForm view = MessageForm::View(*m_session, result);
    m_sink(ReplyEvent{view.MessageText(), view.ReplyText()});
}

void TerminalHost::Notify(const SessionEvent& event) {
    switch (event.kind) {
        case SessionEvent::Kind::Sending:
            m_sink(SendingEvent{DisplayText(event.recipient), event.text});
            break;
        case SessionEvent::Kind::NotSent:
            Error(NotSentText(event.recipient));
            break;
        case SessionEvent::Kind::Replying:
            m_sink(ReplyingEvent{event.messageId, event.text});
            break;
        case SessionEvent::Kind::Forwarding:
            m_sink(ForwardingEvent{event.recipient});
            break;
        case SessionEvent::Kind::Lost:
            m_sink(LostEvent{DisplayText(event.recipient), event.text});
            break;
        case SessionEvent::Kind::Listening:
            m_sink(ListeningEvent{event.port});
            break;
        case SessionEvent::Kind::Answered:
            break;  // the reply event that follows says it
        case SessionEvent::Kind::Error:
            Error(event.text);
            break;
    }
}

}  // namespace parlon
