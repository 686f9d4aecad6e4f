// CMessageDlg: the small window in which the user writes a message to a parlon of the list,
// answers a message that arrived (within a countdown shown in the caption), or reads the reply
// to a message sent. What it does on OK and on each countdown tick is the MessageForm's rule;
// this class is its face: the "Message" and "Reply" boxes (110 UTF-8 bytes each, the box the
// user writes in with a count of the bytes left), the recipient ("To: Dave") and OK.
//
// A window the program opens by itself (a message or reply arrived) can open quietly: it shows
// without taking the keyboard from the window the user is typing in, and raises the attention
// flag instead.
//
// Modeless and owned by the main window (its Qt parent): OK, Escape and the close box only hide
// it, and it is destroyed together with the main window. The session behind the form must
// outlive it. GUI thread only.
#pragma once

#include <QDeadlineTimer>
#include <QDialog>
#include <QPointer>
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

    // Starts the form (its caption and countdown) and shows the window at `position`. With
    // `takeFocus` the window becomes active with the focus in the box to write in; without, the
    // window that was active stays so.
    void Create(QPoint position, bool takeFocus);

    const MessageForm& Form() const noexcept { return m_form; }

    // MessageFormView
    void SetCaption(const std::string& caption) override;
    void Hide() override;
    void StartCountdownTimer() override;
    void StopCountdownTimer() override;
    std::string MessageBoxText() const override;
    std::string ReplyBoxText() const override;

  protected:
    bool event(QEvent* event) override;

  private:
    void LayOut();
    // Shows how many bytes the box being written in still takes.
    void ShowBytesLeft();

    MessageForm m_form;
    Utf8TextEdit* m_messageEdit;
    Utf8TextEdit* m_replyEdit;
    QLabel* m_messageLabel;
    QLabel* m_replyLabel;
    QLabel* m_bytesLeft;  // over the right end of the label of the box being written in
    QPushButton* m_okButton;
    QTimer* m_countdown;  // timer 4, a child of this window
    // Opened quietly: until this deadline (a moment after the event loop runs again) the first
    // activation that the platform gives the new window by itself (some platforms ignore "show
    // without activating") goes back to the window that had it.
    QPointer<QWidget> m_returnActivationTo;
    QDeadlineTimer m_quietUntil;
};

}  // namespace parlon
