// TerminalForm: one message window of the headless node. It holds the MessageForm (which
// decides when a message or reply is queued), the texts of the two boxes as the terminal user
// typed them, and the form's countdown timer 4. There is nothing to draw: the caption and
// hiding have no effect on a terminal.
//
// Owns its MessageForm and its timer; the session behind the form and the timer factory must
// outlive it.
//
// THREAD SAFETY: the node's thread only.
#pragma once

#include <memory>
#include <string>

#include "cli/repeating_timer.h"
#include "session/message_form.h"

namespace parlon {

class TerminalForm final : public MessageFormView {
  public:
    // Attaches itself to `form` (MessageForm::OnInit), which starts the countdown when it has one.
    // `messageBox` is the text of the Message box, which only the compose form reads.
    TerminalForm(MessageForm form, TimerFactory& timers, std::string messageBox = {});
    TerminalForm(const TerminalForm&) = delete;
    TerminalForm& operator=(const TerminalForm&) = delete;

    const MessageForm& Form() const noexcept { return m_form; }

    // Types `text` into the Reply box and presses OK: in an answer form with time left this
    // only changes the text that leaves when the countdown ends; with none left it queues it.
    void Answer(std::string text);
    // Presses OK.
    void PressOK() { m_form.OnOK(); }

    // MessageFormView.
    void SetCaption(const std::string&) override {}
    void Hide() override {}
    void StartCountdownTimer() override;
    void StopCountdownTimer() override;
    std::string MessageBoxText() const override { return m_messageBox; }
    std::string ReplyBoxText() const override { return m_replyBox; }

  private:
    MessageForm m_form;
    TimerFactory& m_timers;
    std::unique_ptr<RepeatingTimer> m_countdown;  // made when the countdown starts
    std::string m_messageBox;
    std::string m_replyBox;
};

}  // namespace parlon
