// CMessagesDlg: the Messages window, which lists this session's messages (SessionMessages) in
// order, one row each: to whom or "Received", the text, and what became of it. It opens only
// when the user asks for it (a button and Ctrl+M in the main window) and follows every change;
// while a received message is being answered it counts the seconds down.
//
// Owned by the main window (its Qt parent), which also owns the messages; both outlive it.
// GUI thread only.
#pragma once

#include <QDialog>

#include "window/session_messages.h"

class QTimer;
class QTreeWidget;

namespace parlon {

class CMessagesDlg final : public QDialog {
    Q_OBJECT
  public:
    CMessagesDlg(QWidget* parent, const SessionMessages& messages);

    // Shows the window (brought to the front when it is open already).
    void Open();
    // Rebuilds the rows from the messages; the main window calls it after each change.
    void Refresh();

  private:
    const SessionMessages& m_messages;
    QTreeWidget* m_list;
    QTimer* m_countdown;  // one-second refresh while an answer is counting down
};

}  // namespace parlon
