#include "cli/terminal_form.h"

#include <utility>

namespace parlon {

TerminalForm::TerminalForm(MessageForm form, TimerFactory& timers, std::string messageBox)
    : m_form(std::move(form)), m_timers(timers), m_messageBox(std::move(messageBox)) {
    m_form.OnInit(*this);
}

void TerminalForm::Answer(std::string text) {
    m_replyBox = std::move(text);
    m_form.OnOK();
}

void TerminalForm::StartCountdownTimer() {
    if (m_countdown == nullptr) {
        m_countdown = m_timers.MakeTimer([this] { m_form.OnTimer(MessageForm::kCountdownTimer); });
    }
    m_countdown->Start(static_cast<uint32_t>(MessageForm::kCountdownStepMs));
}

void TerminalForm::StopCountdownTimer() {
    if (m_countdown != nullptr) {
        m_countdown->Stop();
    }
}

}  // namespace parlon
