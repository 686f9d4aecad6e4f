#include "session/message_form.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <string_view>
#include <utility>

#include "common/text_field.h"
#include "common/utf8_text.h"
#include "session/parlon_session.h"

namespace parlon {

std::string ReceivedFieldText(const ByteBuffer& buffer, size_t index) {
    const size_t start = index * kTextFieldSize;
    if (buffer.Length() <= start) {
        return {};
    }
    const size_t size = std::min<size_t>(kTextFieldSize, buffer.Length() - start);
    return DisplayText({reinterpret_cast<const char*>(buffer.Data()) + start, size});
}

MessageForm::MessageForm(ParlonSession& session, FormMode mode)
    : m_pParent(&session), m_nMode(mode) {}

MessageForm MessageForm::Compose(ParlonSession& session, MessageRecipient recipient) {
    MessageForm form(session, FormMode::Compose);
    form.m_recipient = std::move(recipient);
    return form;
}

MessageForm MessageForm::Answer(ParlonSession& session, const ByteBuffer& text,
                                const ReplyHandle& message, int32_t replyTimeMs) {
    MessageForm form(session, FormMode::Answer);
    form.m_strMessage = ReceivedFieldText(text, 0);
    form.m_replyTo = message;
    form.m_strTimeLabel = kTimeLabel;
    form.m_nTimeLeft = replyTimeMs;
    return form;
}

MessageForm MessageForm::View(ParlonSession& session, const ByteBuffer& result) {
    MessageForm form(session, FormMode::View);
    form.m_strMessage = ReceivedFieldText(result, 0);
    form.m_strReply = ReceivedFieldText(result, 1);
    return form;
}

std::string MessageForm::Caption() const {
    if (!m_countingDown) {
        return kCaption;
    }
    char seconds[16];
    std::snprintf(seconds, sizeof seconds, "%3d", m_nTimeLeft / kCountdownStepMs);
    return m_strTimeLabel + seconds;
}

void MessageForm::OnInit(MessageFormView& view) {
    m_view = &view;
    if (m_nTimeLeft != 0) {
        m_countingDown = true;
        view.StartCountdownTimer();
        view.SetCaption(Caption());
    }
}

void MessageForm::OnTimer(uint32_t id) {
    assert(m_view != nullptr);
    if (id == kCountdownTimer) {
        m_nTimeLeft -= kCountdownStepMs;
        m_view->SetCaption(Caption());
    }
    if (m_nTimeLeft <= 0) {
        OnOK();
    }
}

void MessageForm::OnOK() {
    assert(m_view != nullptr);
    if (m_nTimeLeft > 0 || m_finished) {
        m_view->Hide();  // the countdown goes on; the reply leaves when it ends
        return;
    }
    m_finished = true;
    m_view->StopCountdownTimer();
    if (m_nMode == FormMode::Compose) {
        m_strMessage = m_view->MessageBoxText();
        m_pParent->QueueOutgoing(OutgoingTarget::Message(m_recipient),
                                 QueuedText(Utf8Prefix(m_strMessage, kMaxTextBytes)));
    } else if (m_nMode == FormMode::Answer) {
        m_strReply = m_view->ReplyBoxText();
        m_pParent->QueueReply(m_replyTo, QueuedText(Utf8Prefix(m_strReply, kMaxTextBytes)));
    }
    m_view->Hide();
}

}  // namespace parlon
