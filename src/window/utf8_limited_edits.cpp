#include "window/utf8_limited_edits.h"

#include <QKeyEvent>
#include <QMimeData>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QTextCursor>

#include "window/utf8_edit_limit.h"

namespace parlon {

Utf8LineEdit::Utf8LineEdit(size_t maxBytes, QWidget* parent)
    : QLineEdit(parent), m_maxBytes(maxBytes) {
    // textChanged follows every change, the program's too; textEdited only the user's.
    connect(this, &QLineEdit::textChanged, this,
            [this](const QString& text) { m_accepted = text; });
    connect(this, &QLineEdit::textEdited, this, &Utf8LineEdit::OnTextEdited);
}

void Utf8LineEdit::OnTextEdited(const QString& text) {
    if (const std::optional<LimitedEdit> limited = LimitEdit(m_accepted, text, m_maxBytes)) {
        setText(limited->text);
        setCursorPosition(static_cast<int>(limited->cursor));
    }
}

Utf8TextEdit::Utf8TextEdit(size_t maxBytes, QWidget* parent)
    : QPlainTextEdit(parent), m_maxBytes(maxBytes) {
    setTabChangesFocus(true);
    // One paragraph wrapped to the box's width; a word longer than a line breaks anywhere.
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    connect(this, &QPlainTextEdit::textChanged, this, &Utf8TextEdit::OnTextChanged);
}

void Utf8TextEdit::ShowText(const QString& text) {
    const QSignalBlocker programChange(this);
    setPlainText(text);
    m_accepted = text;
}

void Utf8TextEdit::OnTextChanged() {
    const QString text = toPlainText();
    const std::optional<LimitedEdit> limited = LimitEdit(m_accepted, text, m_maxBytes);
    if (!limited) {
        m_accepted = text;
        return;
    }
    {
        const QSignalBlocker refusal(this);
        setPlainText(limited->text);
    }
    m_accepted = limited->text;
    QTextCursor cursor = textCursor();
    cursor.setPosition(static_cast<int>(limited->cursor));
    setTextCursor(cursor);
}

void Utf8TextEdit::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->ignore();  // no line breaks; the dialog presses its default button
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void Utf8TextEdit::insertFromMimeData(const QMimeData* source) {
    if (source == nullptr || !source->hasText()) {
        return;
    }
    static const QRegularExpression kLineBreaks(QStringLiteral("\r\n|[\r\n\u2028\u2029]"));
    insertPlainText(source->text().replace(kLineBreaks, QStringLiteral(" ")));
}

}  // namespace parlon
