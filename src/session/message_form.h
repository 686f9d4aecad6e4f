// MessageForm: the logic of one message window, in one of three forms: compose a new message,
// view a reply beside the message it answers, or answer a received message within a countdown.
// The Qt message dialog and the terminal's pending answers both run it, so they answer by the
// same rule: an answer form queues exactly one reply, at the countdown tick that reaches 0 or
// less, whatever the user did before (OK before then only hides the window).
//
// The session is not owned and must outlive the form; the view is attached by OnInit and must
// outlive the form too (hosts make the form a member of the view).
//
// THREAD SAFETY: the session's thread only.
#pragma once

#include <cstdint>
#include <string>

#include "common/byte_buffer.h"
#include "crypto/reply_handle.h"
#include "session/message_recipient.h"

namespace parlon {

class ParlonSession;

// The text of field `index` (112 bytes each: the message 0, the reply 1) of a received buffer,
// as far as the buffer holds it, made fit for display.
std::string ReceivedFieldText(const ByteBuffer& buffer, size_t index);

enum class FormMode : int32_t {
    Compose = 0,
    View = 1,
    Answer = 2,
};

// What a form needs of its window.
class MessageFormView {
  public:
    virtual ~MessageFormView() = default;
    virtual void SetCaption(const std::string& caption) = 0;
    virtual void Hide() = 0;
    // Timer 4: calls MessageForm::OnTimer(4) every 1000 ms until stopped.
    virtual void StartCountdownTimer() = 0;
    virtual void StopCountdownTimer() = 0;
    // The texts in the Message and Reply boxes now (UTF-8, each within 110 bytes).
    virtual std::string MessageBoxText() const = 0;
    virtual std::string ReplyBoxText() const = 0;
};

class MessageForm {
  public:
    static constexpr uint32_t kCountdownTimer = 4;
    static constexpr int32_t kCountdownStepMs = 1000;
    static constexpr const char* kCaption = "Send/Recieve Message";
    static constexpr const char* kTimeLabel = "Time Left: ";

    // Compose a message to `recipient`, the parlon the user chose.
    static MessageForm Compose(ParlonSession& session, MessageRecipient recipient);
    // Answer `message`, whose 112-byte text field is `text`, within `replyTimeMs`.
    static MessageForm Answer(ParlonSession& session, const ByteBuffer& text,
                              const ReplyHandle& message, int32_t replyTimeMs);
    // Show a reply: `result` holds our 112-byte text field, then the reply's.
    static MessageForm View(ParlonSession& session, const ByteBuffer& result);

    // Attaches the view, sets the caption and starts the countdown when there is one.
    void OnInit(MessageFormView& view);
    void OnTimer(uint32_t id);
    // Hides the window while time is left; otherwise queues the message or reply (once) and hides.
    void OnOK();

    FormMode Mode() const noexcept { return m_nMode; }
    // Display texts: each field up to its first NUL, invalid UTF-8 shown as U+FFFD.
    const std::string& MessageText() const noexcept { return m_strMessage; }
    const std::string& ReplyText() const noexcept { return m_strReply; }
    // Compose form: the parlon the message is for.
    const MessageRecipient& Recipient() const noexcept { return m_recipient; }
    // Answer form: the message answered, and its id (for display).
    const ReplyHandle& ReplyTo() const noexcept { return m_replyTo; }
    uint32_t MessageId() const noexcept { return m_replyTo.MessageId(); }
    int32_t TimeLeft() const noexcept { return m_nTimeLeft; }
    bool IsFinished() const noexcept { return m_finished; }
    // The window's caption: the default one, or the time label and the seconds left once a
    // countdown has started.
    std::string Caption() const;

  private:
    MessageForm(ParlonSession& session, FormMode mode);

    std::string m_strMessage;
    std::string m_strReply;
    ParlonSession* m_pParent;
    MessageFormView* m_view = nullptr;
    MessageRecipient m_recipient;
    ReplyHandle m_replyTo;
    FormMode m_nMode;
    std::string m_strTimeLabel;
    int32_t m_nTimeLeft = 0;
    bool m_countingDown = false;
    bool m_finished = false;
};

}  // namespace parlon
