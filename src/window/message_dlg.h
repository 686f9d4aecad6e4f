// CMessageDlg: the small window in which the user writes a message to a parlon of the list,
// answers a message that arrived (within a countdown shown in the caption), or reads the reply
// to a message sent. What it does on OK and on each countdown tick is the MessageForm's rule;
// this class is its face: the "Message" and "Reply" boxes (110 UTF-8 bytes each) and OK.
//
// Modeless and owned by the main window (its Qt parent): OK, Escape and the close box only hide
// it, and it is destroyed together with the main window. The session behind the form must
// outlive it. GUI thread only.
#pragma once

#include <QDialog>
#include <string>

#include "session/message_form.h"

class QLabel;
class QTimer;
class QPushButton;

namespace parlon {

class Utf8TextEdit;

class CMessageDlg final : public QDialog, public MessageFormView {
    Q_OBJECT
  public:
    // The window, laid out and filled from `form` but not yet shown.
    CMessageDlg(QWidget* parent, MessageForm form);

    // Starts the form (its caption and countdown) and shows the window.
    void Create();

    const MessageForm& Form() const noexcept { return m_form; }

    // MessageFormView
    void SetCaption(const std::string& caption) override;
    void Hide() override;
    void StartCountdownTimer() override;
    void StopCountdownTimer() override;
    std::string MessageBoxText() const override;
    std::string ReplyBoxText() const override;

  private:
    void LayOut();

    MessageForm m_form;
    Utf8TextEdit* m_messageEdit;
    Utf8TextEdit* m_replyEdit;
    QLabel* m_messageLabel;
    QLabel* m_replyLabel;
    QPushButton* m_okButton;
    QTimer* m_countdown;  // timer 4, a child of this window
};

}  // namespace parlon
