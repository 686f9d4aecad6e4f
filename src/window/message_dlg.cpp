#include "window/message_dlg.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QTimer>
#include <utility>

#include "common/text_field.h"
#include "window/dialog_units.h"
#include "window/utf8_limited_edits.h"

namespace parlon {

namespace {

QLabel* SunkenLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setIndent(2);
    return label;
}

// A disabled box shows its text in the colours of an enabled one (on the background of a
// disabled one): a received message and its reply must be easy to read.
void KeepReadableWhenDisabled(QWidget* box) {
    QPalette palette = box->palette();
    palette.setColor(QPalette::Disabled, QPalette::Text,
                     palette.color(QPalette::Active, QPalette::Text));
    palette.setColor(QPalette::Disabled, QPalette::Base,
                     palette.color(QPalette::Active, QPalette::Window));
    box->setPalette(palette);
}

}  // namespace

CMessageDlg::CMessageDlg(QWidget* parent, MessageForm form)
    : QDialog(parent),
      m_form(std::move(form)),
      m_messageEdit(new Utf8TextEdit(kMaxTextBytes, this)),
      m_replyEdit(new Utf8TextEdit(kMaxTextBytes, this)),
      m_messageLabel(SunkenLabel(QStringLiteral("Message"), this)),
      m_replyLabel(SunkenLabel(QStringLiteral("Reply"), this)),
      m_bytesLeft(new QLabel(this)),
      m_okButton(new QPushButton(QStringLiteral("OK"), this)),
      m_countdown(new QTimer(this)) {
    setWindowTitle(QString::fromUtf8(MessageForm::kCaption));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    m_messageEdit->setObjectName(QStringLiteral("messageEdit"));
    m_messageLabel->setObjectName(QStringLiteral("messageLabel"));
    m_replyEdit->setObjectName(QStringLiteral("replyEdit"));
    m_okButton->setObjectName(QStringLiteral("okButton"));
    m_bytesLeft->setObjectName(QStringLiteral("bytesLeft"));
    m_bytesLeft->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    if (m_form.Mode() == FormMode::Compose) {
        m_messageLabel->setText(
            QStringLiteral("To: %1").arg(QString::fromStdString(m_form.Recipient().nickname)));
    }
    m_okButton->setDefault(true);
    m_okButton->setAutoDefault(false);
    LayOut();

    m_messageEdit->ShowText(QString::fromStdString(m_form.MessageText()));
    m_replyEdit->ShowText(QString::fromStdString(m_form.ReplyText()));
    // Only the box the user writes in is open: the message when composing, the reply when
    // answering.
    m_messageEdit->setEnabled(m_form.Mode() == FormMode::Compose);
    m_replyEdit->setEnabled(m_form.Mode() == FormMode::Answer);
    KeepReadableWhenDisabled(m_messageEdit);
    KeepReadableWhenDisabled(m_replyEdit);

    m_countdown->setInterval(MessageForm::kCountdownStepMs);
    m_countdown->setObjectName(QStringLiteral("countdown"));
    m_countdown->setTimerType(Qt::PreciseTimer);  // the reply must not leave early
    connect(m_countdown, &QTimer::timeout, this,
            [this] { m_form.OnTimer(MessageForm::kCountdownTimer); });
    connect(m_okButton, &QPushButton::clicked, this, [this] { m_form.OnOK(); });
    Utf8TextEdit* writtenIn = m_form.Mode() == FormMode::Answer ? m_replyEdit : m_messageEdit;
    connect(writtenIn, &QPlainTextEdit::textChanged, this, &CMessageDlg::ShowBytesLeft);
    m_bytesLeft->setVisible(m_form.Mode() != FormMode::View);
    ShowBytesLeft();
    // Escape and the close box reject the dialog, which hides it and leaves the countdown going.
}

void CMessageDlg::LayOut() {
    // The window as drawn up in dialog units: 186 x 137, two labelled boxes and OK below them.
    const DialogUnits units(font());
    setFixedSize(units.Size(186, 137));
    m_messageLabel->setGeometry(units.Rect(16, 9, 153, 10));
    m_messageEdit->setGeometry(units.Rect(15, 20, 154, 37));
    m_replyLabel->setGeometry(units.Rect(16, 62, 153, 10));
    m_replyEdit->setGeometry(units.Rect(15, 73, 154, 37));
    m_okButton->setGeometry(units.Rect(69, 116, 50, 14));
    const int labelTop = m_form.Mode() == FormMode::Answer ? 62 : 9;
    m_bytesLeft->setGeometry(units.Rect(119, labelTop + 1, 48, 8));
    setTabOrder(m_messageEdit, m_replyEdit);
    setTabOrder(m_replyEdit, m_okButton);
}

void CMessageDlg::Create(QPoint position, bool takeFocus) {
    m_form.OnInit(*this);
    move(position);
    if (takeFocus) {
        show();
        raise();
        activateWindow();
        if (m_form.Mode() == FormMode::Compose) {
            m_messageEdit->setFocus(Qt::OtherFocusReason);
        } else if (m_form.Mode() == FormMode::Answer) {
            m_replyEdit->setFocus(Qt::OtherFocusReason);
        }
        return;
    }
    // The window may have been opened in the middle of a long tick: the platform's own
    // activation comes when the event loop runs again, so the quiet time starts from there.
    constexpr int kQuietMs = 250;
    m_returnActivationTo = QApplication::activeWindow();
    m_quietUntil = QDeadlineTimer(QDeadlineTimer::Forever);
    QTimer::singleShot(0, this, [this] {
        if (!m_quietUntil.hasExpired()) {
            m_quietUntil.setRemainingTime(kQuietMs);
        }
    });
    setAttribute(Qt::WA_ShowWithoutActivating);
    show();
    QApplication::alert(this);
}

bool CMessageDlg::event(QEvent* event) {
    if (event->type() == QEvent::WindowActivate && !m_quietUntil.hasExpired()) {
        m_quietUntil = QDeadlineTimer();  // once: a later activation is the user's
        if (m_returnActivationTo != nullptr && m_returnActivationTo != this) {
            m_returnActivationTo->activateWindow();
        }
    }
    return QDialog::event(event);
}

void CMessageDlg::ShowBytesLeft() {
    const Utf8TextEdit* box = m_form.Mode() == FormMode::Answer ? m_replyEdit : m_messageEdit;
    const size_t used = static_cast<size_t>(box->Text().toUtf8().size());
    m_bytesLeft->setText(
        QStringLiteral("%1 left").arg(used < kMaxTextBytes ? kMaxTextBytes - used : 0));
}

void CMessageDlg::SetCaption(const std::string& caption) {
    setWindowTitle(QString::fromStdString(caption));
}

void CMessageDlg::Hide() {
    hide();
}

void CMessageDlg::StartCountdownTimer() {
    m_countdown->start();
}

void CMessageDlg::StopCountdownTimer() {
    m_countdown->stop();
}

std::string CMessageDlg::MessageBoxText() const {
    return m_messageEdit->Text().toStdString();
}

std::string CMessageDlg::ReplyBoxText() const {
    return m_replyEdit->Text().toStdString();
}

}  // namespace parlon
