#include "window/ip_address_edit.h"

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QRegularExpressionValidator>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionFrame>

#include "common/address_text.h"
#include "common/wire_records.h"

namespace parlon {

namespace {

// 0 to 255 without leading zeros, or nothing. Every prefix a user can type of a longer
// number is itself a whole number in range, so the validator never needs an "unfinished" state.
const QRegularExpression& FieldPattern() {
    static const QRegularExpression pattern(
        QStringLiteral("(25[0-5]|2[0-4][0-9]|1[0-9]{2}|[1-9]?[0-9])?"));
    return pattern;
}

constexpr int kMaxFieldDigits = 3;

}  // namespace

IpAddressEdit::IpAddressEdit(QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    QStyleOptionFrame frame;
    frame.initFrom(this);
    const int frameWidth = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &frame, this);
    const int padding = fontMetrics().horizontalAdvance(QLatin1Char(' '));
    layout->setContentsMargins(frameWidth + padding, frameWidth, frameWidth + padding, frameWidth);
    layout->setSpacing(0);

    auto* validator = new QRegularExpressionValidator(FieldPattern(), this);
    // Three digits with room on both sides, so that a full field is still centred.
    const int fieldWidth = fontMetrics().horizontalAdvance(QStringLiteral("000")) + 4 * padding;
    for (int index = 0; index < kFieldCount; ++index) {
        if (index > 0) {
            auto* dot = new QLabel(QStringLiteral("."), this);
            dot->setAlignment(Qt::AlignCenter);
            layout->addWidget(dot);
        }
        auto* field = new QLineEdit(this);
        field->setObjectName(QStringLiteral("ipField%1").arg(index + 1));
        field->setFrame(false);
        field->setAlignment(Qt::AlignCenter);
        field->setValidator(validator);
        field->setMaxLength(kMaxFieldDigits);
        field->setFixedWidth(fieldWidth);
        field->installEventFilter(this);
        // Tab enters at the first field only, then leaves the control.
        if (index > 0) {
            field->setFocusPolicy(Qt::ClickFocus);
        }
        connect(field, &QLineEdit::textEdited, this, [this, index, field](const QString& text) {
            if (text.size() == kMaxFieldDigits && field->cursorPosition() == kMaxFieldDigits &&
                index + 1 < kFieldCount) {
                EnterField(index + 1, Entry::SelectAll);
            }
        });
        layout->addWidget(field);
        m_fields[static_cast<size_t>(index)] = field;
    }
    layout->addStretch(1);
    setFocusProxy(m_fields[0]);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QString IpAddressEdit::Text() const {
    QStringList parts;
    for (const QLineEdit* field : m_fields) {
        parts << QString::number(field->text().toInt());  // empty counts as 0
    }
    return parts.join(QLatin1Char('.'));
}

uint32_t IpAddressEdit::Address() const {
    // The fields hold only numbers 0..255, so the dotted text always parses.
    return ParseDottedIpv4(Text().toStdString()).value_or(0);
}

void IpAddressEdit::SetAddress(uint32_t networkOrder) {
    const QStringList parts =
        QString::fromStdString(PeerAddress{networkOrder, 0}.IpText()).split(QLatin1Char('.'));
    for (int index = 0; index < kFieldCount && index < parts.size(); ++index) {
        m_fields[static_cast<size_t>(index)]->setText(parts[index]);
    }
}

void IpAddressEdit::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    QStyleOptionFrame frame;
    frame.initFrom(this);
    frame.rect = rect();
    frame.lineWidth = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &frame, this);
    frame.midLineWidth = 0;
    frame.state |= QStyle::State_Sunken;
    for (const QLineEdit* field : m_fields) {
        if (field->hasFocus()) {
            frame.state |= QStyle::State_HasFocus;
        }
    }
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &frame, &painter, this);
}

int IpAddressEdit::IndexOf(const QObject* field) const {
    for (int index = 0; index < kFieldCount; ++index) {
        if (m_fields[static_cast<size_t>(index)] == field) {
            return index;
        }
    }
    return -1;
}

void IpAddressEdit::EnterField(int index, Entry entry) {
    QLineEdit* field = m_fields[static_cast<size_t>(index)];
    field->setFocus(Qt::OtherFocusReason);
    switch (entry) {
        case Entry::Start:
            field->setCursorPosition(0);
            break;
        case Entry::End:
            field->setCursorPosition(static_cast<int>(field->text().size()));
            break;
        case Entry::SelectAll:
            field->selectAll();
            break;
    }
}

bool IpAddressEdit::eventFilter(QObject* watched, QEvent* event) {
    const int index = IndexOf(watched);
    if (index >= 0) {
        if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut) {
            update();  // the frame shows whether the control has the focus
        } else if (event->type() == QEvent::KeyPress) {
            return HandleKey(index, *static_cast<const QKeyEvent*>(event));
        }
    }
    return QWidget::eventFilter(watched, event);
}

bool IpAddressEdit::HandleKey(int index, const QKeyEvent& key) {
    const QLineEdit* field = m_fields[static_cast<size_t>(index)];
    const bool atStart = field->cursorPosition() == 0 && !field->hasSelectedText();
    const bool atEnd = field->cursorPosition() == field->text().size() && !field->hasSelectedText();
    const bool hasNext = index + 1 < kFieldCount;
    const bool hasPrevious = index > 0;

    if (key.matches(QKeySequence::Paste)) {
        const std::optional<uint32_t> pasted =
            ParseDottedIpv4(QApplication::clipboard()->text().trimmed().toStdString());
        if (pasted) {
            SetAddress(*pasted);
            EnterField(kFieldCount - 1, Entry::End);
            return true;
        }
        return false;  // a number is pasted into this field as far as it is one
    }
    if (key.text() == QStringLiteral(".") || key.text() == QStringLiteral(" ")) {
        if (hasNext && !field->text().isEmpty()) {
            EnterField(index + 1, Entry::SelectAll);
        }
        return true;
    }
    switch (key.key()) {
        case Qt::Key_Backspace:
            if (atStart && hasPrevious) {
                EnterField(index - 1, Entry::End);
                return true;
            }
            break;
        case Qt::Key_Left:
            if (atStart && hasPrevious) {
                EnterField(index - 1, Entry::End);
                return true;
            }
            break;
        case Qt::Key_Right:
            if (atEnd && hasNext) {
                EnterField(index + 1, Entry::Start);
                return true;
            }
            break;
        default:
            break;
    }
    return false;
}

}  // namespace parlon
