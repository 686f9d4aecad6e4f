// SessionHost: what a ParlonSession needs of the program that shows it (the Qt window or the
// terminal): the user's fields, the status line, the buttons, the timers, the list view and
// the message forms. The session calls these on its own thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_buffer.h"
#include "common/wire_records.h"
#include "crypto/reply_handle.h"

namespace parlon {

// The session's timers. Timer 4 belongs to each answer form (see MessageForm).
enum SessionTimer : uint32_t {
    kSwitchTimer = 1,    // fires once at the switch moment
    kRegisterTimer = 2,  // re-registration, every registerPeriod
    kPollTimer = 3,      // drains the queues, every pollPeriod
    // Runs only while a registration is in flight: looks for the center's answer.
    kExchangeTimer = 5,
};

// The fields a user can edit: nickname, own IPv4 address (network order) and own port.
struct UserFields {
    std::string nickname;
    uint32_t ip = 0;
    uint16_t port = 0;
};

// Something worth telling the user beyond the status line (the terminal prints each one).
struct SessionEvent {
    // Lost: no reply came to a message within the bound of LostMessageWatch; a late reply is
    // still shown. Listening: the listener is up on `port` (the one the system picked when 0
    // was asked for).
    enum class Kind {
        Sending,     // a message leaves for its recipient
        NotSent,     // a message was not sent: its recipient is not in the list in use
        Lost,        // a message that left got no reply within its bound (its path broke)
        Answered,    // the reply to a message came back within its bound
        Replying,    // a reply leaves
        Forwarding,  // a message or reply passes through
        Error,
        Listening,  // the listener is up
    };
    Kind kind;
    // Sending, NotSent, Lost, Replying: the text; Answered: the reply; Error: what went wrong
    std::string text;
    // Sending, NotSent, Lost, Answered: the recipient's nickname; Forwarding: the next hop's IP
    std::string recipient;
    uint32_t messageId = 0;  // Replying: the id of the message answered (for display)
    // Sending, NotSent, Lost, Answered: the session's own number for the message, counted from
    // 1 in the order the messages were queued; it never travels.
    uint64_t messageNumber = 0;
    uint16_t port = 0;  // Listening
};

class SessionHost {
  public:
    virtual ~SessionHost() = default;

    // Reads the user's fields into `fields`, which holds the session's current values; a field
    // the host refuses (it tells the user why) keeps its value. False when any was refused.
    virtual bool ReadFields(UserFields& fields) = 0;
    // Shows the start values once, before anything else.
    virtual void InitFields(const std::string& status, const UserFields& fields) = 0;
    // Shows the status line and rewrites the nickname and port fields from the session's values.
    virtual void ShowStatus(const std::string& status, const std::string& nickname,
                            uint16_t port) = 0;
    // Connect enabled and Disconnect disabled, or the other way round.
    virtual void EnableConnect(bool connectEnabled) = 0;

    // Starts (or restarts) timer `id` with a period in milliseconds; the host calls
    // ParlonSession::OnTimer(id) on the session's thread at every expiry until KillTimer(id).
    virtual void SetTimer(uint32_t id, uint32_t periodMs) = 0;
    virtual void KillTimer(uint32_t id) = 0;

    // Rebuilds the list view: row i shows parlons[i].
    virtual void RebuildListView(const std::vector<ParlonEntry>& parlons) = 0;

    // A message for this parlon arrived: open an answer form (`text` is its 112-byte field) that
    // answers through `message` (whose MessageId() is the id to show).
    virtual void OpenAnswerForm(const ByteBuffer& text, const ReplyHandle& message,
                                int32_t replyTimeMs) = 0;
    // A reply came back: open a view form (`result`: our 112-byte text field, then the reply's).
    virtual void OpenViewForm(const ByteBuffer& result) = 0;

    virtual void Notify(const SessionEvent& event) = 0;
};

}  // namespace parlon
