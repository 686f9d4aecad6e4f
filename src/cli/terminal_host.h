// TerminalHost: the headless node's side of a ParlonSession. It plays the main window for the
// session (fields from the command line, status, buttons, timers, list, message forms) and
// turns each into an event; it carries out the user's commands as the window's controls would:
//
//   send INDEX TEXT   a compose form for the parlon in row INDEX with TEXT in its Message box,
//                     then OK (the message is for that parlon, wherever it stands when it leaves)
//   reply ID TEXT     TEXT into the Reply box of the pending answer to message ID, then OK
//                     (which only hides the form while its countdown runs)
//   list              the list event of the rows shown
//   connect           the Connect button (refused while it is disabled)
//   disconnect        the Disconnect button (refused while it is disabled)
//   quit              the Exit button: the end line; the owner then tears the session down
//   ticks             the ticks event: the longest poll tick since the last one
//
// With an auto-reply text, every answer form gets that text in its Reply box and OK as it
// opens, so the reply leaves when its countdown ends (at once when there is none).
//
// The session is not owned; it is attached after construction, since it is made with the host.
// The host must outlive the session (which calls it until its destructor ends), and the timer
// factory must outlive the host.
//
// THREAD SAFETY: the node's thread only (the session's thread).
#pragma once

#include <chrono>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "cli/command_parser.h"
#include "cli/node_event.h"
#include "cli/repeating_timer.h"
#include "cli/terminal_form.h"
#include "session/parlon_session.h"
#include "session/session_host.h"

namespace parlon {

class TerminalHost final : public SessionHost {
  public:
    enum class Outcome { Continue, Quit };

    TerminalHost(UserFields fields, TimerFactory& timers, EventSink sink,
                 std::optional<std::string> autoReply);
    ~TerminalHost() override;
    TerminalHost(const TerminalHost&) = delete;
    TerminalHost& operator=(const TerminalHost&) = delete;

    // REQUIRES: called once, before the session calls the host and before Execute.
    void Attach(ParlonSession& session);

    // Carries out one command. A command that cannot be carried out now prints an error event
    // and changes nothing.
    Outcome Execute(const Command& command);

    // SessionHost.
    bool ReadFields(UserFields& fields) override;
    void InitFields(const std::string& status, const UserFields& fields) override;
    void ShowStatus(const std::string& status, const std::string& nickname, uint16_t port) override;
    void EnableConnect(bool connectEnabled) override;
    void SetTimer(uint32_t id, uint32_t periodMs) override;
    void KillTimer(uint32_t id) override;
    void RebuildListView(const std::vector<ParlonEntry>& parlons) override;
    void OpenAnswerForm(const ByteBuffer& text, const ReplyHandle& message,
                        int32_t replyTimeMs) override;
    void OpenViewForm(const ByteBuffer& result) override;
    void Notify(const SessionEvent& event) override;

  private:
    void Send(uint32_t row, const std::string& text);
    void Reply(uint32_t messageId, const std::string& text);
    void PressConnect();
    void PressDisconnect();
    void Error(std::string text);
    // Drops the answer forms whose reply has been queued (not from inside their own tick).
    void DropFinishedAnswers();

    const UserFields m_fields;
    TimerFactory& m_timers;
    const EventSink m_sink;
    const std::optional<std::string> m_autoReply;
    ParlonSession* m_session = nullptr;

    std::chrono::steady_clock::duration m_longestPollTick{};  // since the last `ticks`
    bool m_connectEnabled = true;             // and Disconnect is enabled when this is false
    std::vector<ParlonEntry> m_shownParlons;  // the list as last shown: row i is entry i
    std::map<uint32_t, std::unique_ptr<RepeatingTimer>> m_sessionTimers;
    // In the order they opened; the oldest pending answer with an id is the one `reply` reaches.
    std::list<std::unique_ptr<TerminalForm>> m_answers;
};

}  // namespace parlon
