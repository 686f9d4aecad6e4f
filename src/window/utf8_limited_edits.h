// Edit boxes that refuse input beyond a limit of UTF-8 bytes (the wire fields count bytes, not
// characters), by the rule of LimitEdit: typing, pasting and dropping are cut to what fits,
// never inside a character. Text set by the program is shown whole, even beyond the limit.
//
// Widgets: created, used and destroyed on the GUI thread; owned by their Qt parent.
#pragma once

#include <QLineEdit>
#include <QPlainTextEdit>
#include <cstddef>

class QKeyEvent;
class QMimeData;

namespace parlon {

// A one-line box (the nickname).
class Utf8LineEdit final : public QLineEdit {
    Q_OBJECT
  public:
    Utf8LineEdit(size_t maxBytes, QWidget* parent);

  private:
    void OnTextEdited(const QString& text);

    const size_t m_maxBytes;
    QString m_accepted;  // the text before the user's latest change
};

// A box of a few lines (message and reply texts). Like the edit boxes of a dialog it keeps to
// one paragraph: Return and Enter go to the dialog's default button, Tab moves the focus, and
// line breaks in pasted or dropped text become blanks (a text travels and is logged as one line).
class Utf8TextEdit final : public QPlainTextEdit {
    Q_OBJECT
  public:
    Utf8TextEdit(size_t maxBytes, QWidget* parent);

    // Shows `text` whole, whatever its length (a received text is shown as it came).
    void ShowText(const QString& text);
    QString Text() const { return toPlainText(); }

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void insertFromMimeData(const QMimeData* source) override;

  private:
    void OnTextChanged();

    const size_t m_maxBytes;
    QString m_accepted;
};

}  // namespace parlon
