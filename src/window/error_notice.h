// ErrorNotice: shows what went wrong in the session (a message that could not be sent, a
// listener that stopped) without blocking the window's thread: one non-modal message box over
// the main window that gathers the latest errors, newest last, until the user closes it. The
// box comes to the front with the keyboard focus, so that Return or Escape closes it.
//
// The box is a Qt child of `owner`, which must outlive this object. GUI thread only.
#pragma once

#include <QPointer>
#include <QStringList>

class QMessageBox;
class QWidget;

namespace parlon {

class ErrorNotice {
  public:
    // Errors shown at once; older ones drop out of the box.
    static constexpr qsizetype kShownErrors = 6;

    explicit ErrorNotice(QWidget* owner);

    void Add(const QString& error);

  private:
    QWidget* m_owner;
    QPointer<QMessageBox> m_box;
    QStringList m_errors;  // shown in the box since it was last closed
};

}  // namespace parlon
