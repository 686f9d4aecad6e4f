#include "window/parlon_dlg.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>
#include <optional>
#include <utility>

#include "common/utf8_text.h"
#include "session/field_rules.h"
#include "window/about_dlg.h"
#include "window/dialog_units.h"
#include "window/ip_address_edit.h"
#include "window/message_dlg.h"
#include "window/messages_dlg.h"
#include "window/parlon_icon.h"
#include "window/tray_status.h"
#include "window/utf8_limited_edits.h"
#include "window/window_placement.h"

namespace parlon {

namespace {

// The list view columns: title and width in pixels of the font the window was drawn up with.
struct ListColumn {
    const char* title;
    int referenceWidth;
};
constexpr ListColumn kListColumns[] = {{"Nickname", 110}, {"IP Address", 100}, {"Port Num", 60}};

QString ToQString(const std::string& text) {
    return QString::fromStdString(text);
}

// Only Connect is ever pressed by Return: a button that merely has the focus is not (Return
// after Connect must never land on Exit).
QPushButton* Button(const QString& text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

// "Port: please enter an integer.": the field's label, then the rule's message.
QString FieldMessage(const char* label, const std::string& message) {
    QString text = ToQString(message);
    if (!text.isEmpty()) {
        text[0] = text[0].toLower();
    }
    return QStringLiteral("%1: %2").arg(QString::fromLatin1(label), text);
}

}  // namespace

CParlonDlg::CParlonDlg(std::unique_ptr<ActivityLog> log, SessionServices services,
                       const ParlonSettings& settings, QWidget* parent)
    : QDialog(parent), m_errors(this) {
    setWindowTitle(QStringLiteral("Parlon"));
    setWindowIcon(ParlonIcon());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    BuildControls();
    m_tray = std::make_unique<TrayStatus>(this);
    m_messages.SetOnChange([this] {
        if (m_messagesWindow != nullptr) {
            m_messagesWindow->Refresh();
        }
    });
    m_session =
        std::make_unique<ParlonSession>(*this, std::move(log), std::move(services), settings);
    m_session->Start();
}

CParlonDlg::~CParlonDlg() {
    // The message windows queue into the session: they go first.
    for (CMessageDlg* window : findChildren<CMessageDlg*>(Qt::FindDirectChildrenOnly)) {
        delete window;
    }
    m_session.reset();
}

void CParlonDlg::BuildControls() {
    const DialogUnits units(font());

    m_nicknameEdit = new Utf8LineEdit(kMaxNicknameBytes, this);
    m_nicknameEdit->setObjectName(QStringLiteral("nicknameEdit"));
    m_ipAddress = new IpAddressEdit(this);
    m_ipAddress->setObjectName(QStringLiteral("ipAddressEdit"));
    m_portEdit = new QLineEdit(this);
    m_portEdit->setObjectName(QStringLiteral("portEdit"));
    const int fieldWidth = m_ipAddress->sizeHint().width();
    m_nicknameEdit->setFixedWidth(fieldWidth);
    m_portEdit->setFixedWidth(units.X(36));

    m_connectButton = Button(QStringLiteral("&Connect"), "connectButton", this);
    m_disconnectButton = Button(QStringLiteral("&Disconnect"), "disconnectButton", this);
    m_exitButton = Button(QStringLiteral("&Exit"), "exitButton", this);
    m_aboutButton = Button(QStringLiteral("&About Parlon..."), "aboutButton", this);
    m_messagesButton = Button(QStringLiteral("&Messages..."), "messagesButton", this);
    m_messagesButton->setToolTip(QStringLiteral("This session's messages (Ctrl+M)"));
    m_connectButton->setAutoDefault(true);
    m_connectButton->setDefault(true);
    m_disconnectButton->setEnabled(false);

    m_listView = new QTreeWidget(this);
    m_listView->setObjectName(QStringLiteral("parlonList"));
    m_listView->setRootIsDecorated(false);
    m_listView->setItemsExpandable(false);
    m_listView->setUniformRowHeights(true);
    m_listView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_listView->setSelectionMode(QAbstractItemView::SingleSelection);
    m_listView->setColumnCount(static_cast<int>(std::size(kListColumns)));
    QStringList titles;
    for (const ListColumn& column : kListColumns) {
        titles << QString::fromLatin1(column.title);
    }
    m_listView->setHeaderLabels(titles);
    m_listView->header()->setStretchLastSection(false);
    m_listView->header()->setSectionResizeMode(QHeaderView::Fixed);
    m_listView->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    int columnsWidth = 0;
    for (int index = 0; index < static_cast<int>(std::size(kListColumns)); ++index) {
        const int width = units.ScaledPixels(kListColumns[index].referenceWidth);
        m_listView->setColumnWidth(index, width);
        columnsWidth += width;
    }
    // Room for all three columns and a vertical scroll bar.
    m_listView->setMinimumWidth(columnsWidth + units.X(14));
    m_listView->viewport()->installEventFilter(this);
    m_listView->installEventFilter(this);

    m_statusLine = new QLabel(this);
    m_statusLine->setObjectName(QStringLiteral("statusLine"));
    m_statusLine->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_statusLine->setIndent(units.X(2));
    m_statusLine->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);

    // Left: the own fields, label beside field, and the buttons below them.
    auto* fields = new QGridLayout;
    fields->setHorizontalSpacing(units.X(6));
    fields->setVerticalSpacing(units.Y(4));
    fields->addWidget(new QLabel(QStringLiteral("Nickname"), this), 0, 0);
    fields->addWidget(m_nicknameEdit, 0, 1, Qt::AlignLeft);
    fields->addWidget(new QLabel(QStringLiteral("IP Address"), this), 1, 0);
    fields->addWidget(m_ipAddress, 1, 1, Qt::AlignLeft);
    fields->addWidget(new QLabel(QStringLiteral("Port"), this), 2, 0);
    fields->addWidget(m_portEdit, 2, 1, Qt::AlignLeft);

    auto* buttons = new QGridLayout;
    buttons->setSpacing(units.X(4));
    buttons->addWidget(m_connectButton, 0, 0);
    buttons->addWidget(m_disconnectButton, 0, 1);
    buttons->addWidget(m_exitButton, 0, 2);
    buttons->addWidget(m_messagesButton, 2, 0, 1, 3);
    buttons->addWidget(m_aboutButton, 3, 0, 1, 3);
    buttons->setRowMinimumHeight(1, units.Y(6));
    // Three buttons of one width, with room around the longest caption.
    int buttonWidth = 0;
    for (const QPushButton* button : {m_connectButton, m_disconnectButton, m_exitButton}) {
        buttonWidth = std::max(buttonWidth, button->sizeHint().width() + units.X(6));
    }
    for (int column = 0; column < 3; ++column) {
        buttons->setColumnMinimumWidth(column, buttonWidth);
        buttons->setColumnStretch(column, 1);
    }

    auto* left = new QVBoxLayout;
    left->addLayout(fields);
    left->addSpacing(units.Y(10));
    left->addLayout(buttons);
    left->addStretch(1);

    // Right: the list of parlons under its label.
    auto* right = new QVBoxLayout;
    right->setSpacing(units.Y(2));
    right->addWidget(new QLabel(QStringLiteral("Parlons List"), this));
    right->addWidget(m_listView, 1);

    auto* status = new QHBoxLayout;
    status->setSpacing(units.X(4));
    status->addWidget(new QLabel(QStringLiteral("Status:"), this));
    status->addWidget(m_statusLine, 1);

    auto* window = new QGridLayout(this);
    window->setContentsMargins(units.X(7), units.Y(7), units.X(7), units.Y(7));
    window->setHorizontalSpacing(units.X(10));
    window->setVerticalSpacing(units.Y(6));
    window->addLayout(left, 0, 0);
    window->addLayout(right, 0, 1);
    window->addLayout(status, 1, 0, 1, 2);
    window->setColumnStretch(1, 1);
    window->setRowStretch(0, 1);

    setMinimumSize(units.Size(320, 200).expandedTo(window->minimumSize()));
    resize(minimumSize());

    // About: the button, a context menu entry on the window and F1.
    auto* about = new QAction(QStringLiteral("&About Parlon..."), this);
    about->setObjectName(QStringLiteral("aboutAction"));
    about->setShortcut(QKeySequence(Qt::Key_F1));
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* messages = new QAction(QStringLiteral("&Messages..."), this);
    messages->setObjectName(QStringLiteral("messagesAction"));
    messages->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    addAction(messages);

    connect(m_connectButton, &QPushButton::clicked, this, &CParlonDlg::OnConnect);
    connect(m_disconnectButton, &QPushButton::clicked, this, &CParlonDlg::OnDisconnect);
    connect(m_exitButton, &QPushButton::clicked, this, &CParlonDlg::OnExit);
    connect(m_aboutButton, &QPushButton::clicked, about, &QAction::trigger);
    connect(about, &QAction::triggered, this, &CParlonDlg::OnAbout);
    connect(m_messagesButton, &QPushButton::clicked, messages, &QAction::trigger);
    connect(messages, &QAction::triggered, this, &CParlonDlg::OnMessages);
}

// --- the user's fields ---

bool CParlonDlg::ReadFields(UserFields& fields) {
    fields.ip = m_ipAddress->Address();  // the control holds only valid addresses
    std::string message;
    const std::optional<uint16_t> port = ParsePortField(m_portEdit->text().toStdString(), message);
    if (!port) {
        RefuseField(m_portEdit, "Port", message);
        return false;  // the nickname is not read after a refused port
    }
    fields.port = *port;
    std::optional<std::string> nickname =
        ParseNicknameField(m_nicknameEdit->text().toStdString(), message);
    if (!nickname) {
        RefuseField(m_nicknameEdit, "Nickname", message);
        return false;
    }
    fields.nickname = std::move(*nickname);
    return true;
}

void CParlonDlg::RefuseField(QLineEdit* field, const char* label, const std::string& message) {
    QMessageBox::warning(this, QStringLiteral("Parlon"), FieldMessage(label, message));
    field->setFocus(Qt::OtherFocusReason);
    field->selectAll();
}

void CParlonDlg::InitFields(const std::string& status, const UserFields& fields) {
    m_ipAddress->SetAddress(fields.ip);
    ShowStatus(status, fields.nickname, fields.port);
}

void CParlonDlg::ShowStatus(const std::string& status, const std::string& nickname, uint16_t port) {
    m_statusLine->setText(ToQString(status));
    m_tray->ShowStatus(ToQString(status));
    ShowUserFields(nickname, port);
    // Painted at once: Connect goes on to generate keys and register without returning to the
    // event loop, and the user should see which step it is at.
    m_statusLine->repaint();
}

void CParlonDlg::ShowUserFields(const std::string& nickname, uint16_t port) {
    m_nicknameEdit->setText(ToQString(nickname));
    m_portEdit->setText(QString::number(port));  // 1..65535, shown as itself
}

void CParlonDlg::EnableConnect(bool connectEnabled) {
    m_connectButton->setEnabled(connectEnabled);
    m_disconnectButton->setEnabled(!connectEnabled);
}

// --- timers ---

void CParlonDlg::SetTimer(uint32_t id, uint32_t periodMs) {
    QTimer*& timer = m_timers[id];
    if (timer == nullptr) {
        timer = new QTimer(this);
        timer->setObjectName(QStringLiteral("sessionTimer%1").arg(id));
        timer->setTimerType(Qt::PreciseTimer);  // a coarse timer may fire up to 5% early
        connect(timer, &QTimer::timeout, this, [this, id] { m_session->OnTimer(id); });
    }
    timer->start(static_cast<int>(std::min<uint32_t>(periodMs, INT_MAX)));
}

void CParlonDlg::KillTimer(uint32_t id) {
    const auto found = m_timers.find(id);
    if (found != m_timers.end()) {
        found->second->stop();
    }
}

// --- the list and the message windows ---

void CParlonDlg::RebuildListView(const std::vector<ParlonEntry>& parlons) {
    // The parlon selected stays selected wherever it stands in the new list.
    const int selected = SelectionMark();
    std::optional<MessageRecipient> kept;
    if (selected >= 0 && static_cast<size_t>(selected) < m_shownParlons.size()) {
        kept = MessageRecipient::Of(m_shownParlons[static_cast<size_t>(selected)]);
    }
    m_listView->clear();
    m_shownParlons = parlons;
    QList<QTreeWidgetItem*> rows;
    for (const ParlonEntry& parlon : parlons) {
        rows << new QTreeWidgetItem(QStringList{ToQString(DisplayText(parlon.NicknameText())),
                                                ToQString(parlon.Address().IpText()),
                                                QString::number(parlon.port)});
    }
    m_listView->addTopLevelItems(rows);
    if (const std::optional<size_t> row = kept ? kept->FindIn(parlons) : std::nullopt) {
        m_listView->setCurrentItem(m_listView->topLevelItem(static_cast<int>(*row)));
    }
}

void CParlonDlg::FitColumns() {
    const int width = m_listView->viewport()->width();
    int total = 0;
    for (const ListColumn& column : kListColumns) {
        total += column.referenceWidth;
    }
    int used = 0;
    const int last = static_cast<int>(std::size(kListColumns)) - 1;
    for (int index = 0; index < last; ++index) {
        const int columnWidth = width * kListColumns[index].referenceWidth / total;
        m_listView->setColumnWidth(index, columnWidth);
        used += columnWidth;
    }
    m_listView->setColumnWidth(last, std::max(width - used, 0));
}

int CParlonDlg::SelectionMark() const {
    const QModelIndex current = m_listView->currentIndex();
    return current.isValid() ? current.row() : -1;
}

bool CParlonDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_listView->viewport()) {
        // A double click anywhere in the list, on a row or not, opens a message to the row last
        // selected.
        if (event->type() == QEvent::MouseButtonDblClick) {
            OnDblclkParlonList();
        } else if (event->type() == QEvent::Resize) {
            FitColumns();
        }
    } else if (watched == m_listView && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            OnDblclkParlonList();
            return true;  // never on to the default button
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CParlonDlg::OnDblclkParlonList() {
    const int row = SelectionMark();
    if (row < 0 || static_cast<size_t>(row) >= m_shownParlons.size()) {
        return;  // no parlon chosen: nothing to write to
    }
    OpenMessageWindow(
        MessageForm::Compose(*m_session,
                             MessageRecipient::Of(m_shownParlons[static_cast<size_t>(row)])),
        true);
}

void CParlonDlg::OpenAnswerForm(const ByteBuffer& text, const ReplyHandle& message,
                                int32_t replyTimeMs) {
    MessageForm form = MessageForm::Answer(*m_session, text, message, replyTimeMs);
    m_messages.AddReceived(message.MessageId(), form.MessageText(), replyTimeMs,
                           SessionMessages::Clock::now());
    DrawAttention(QStringLiteral("A new message arrived."));
    OpenMessageWindow(std::move(form), false);
}

void CParlonDlg::OpenViewForm(const ByteBuffer& result) {
    MessageForm form = MessageForm::View(*m_session, result);
    DrawAttention(QStringLiteral("A reply to your message arrived."));
    OpenMessageWindow(std::move(form), false);
}

void CParlonDlg::DrawAttention(const QString& what) {
    if (QApplication::activeWindow() != nullptr) {
        return;  // the user is at one of our windows: the new window says it itself
    }
    QApplication::alert(this);
    m_tray->Notify(QStringLiteral("Parlon"), what);
}

void CParlonDlg::OpenMessageWindow(MessageForm form, bool takeFocus) {
    auto* window = new CMessageDlg(this, std::move(form));
    QList<QPoint> taken;
    for (const CMessageDlg* other : findChildren<CMessageDlg*>(Qt::FindDirectChildrenOnly)) {
        if (other != window && other->isVisible()) {
            taken << other->pos();
        }
    }
    const QScreen* screen = this->screen();
    const QRect available = screen != nullptr ? screen->availableGeometry() : QRect();
    window->Create(CascadePosition(pos(), window->frameSize(), taken, available), takeFocus);
}

void CParlonDlg::Notify(const SessionEvent& event) {
    // Sending, replying and forwarding are in the activity log; the Messages window keeps what
    // became of each message, and errors need the user's eye.
    switch (event.kind) {
        case SessionEvent::Kind::Sending:
            m_messages.AddSent(event.messageNumber, DisplayText(event.recipient), event.text,
                               SessionMessages::State::Waiting);
            break;
        case SessionEvent::Kind::NotSent:
            m_messages.AddSent(event.messageNumber, DisplayText(event.recipient), event.text,
                               SessionMessages::State::NotSent);
            m_errors.Add(ToQString(NotSentText(event.recipient)));
            break;
        case SessionEvent::Kind::Lost:
            m_messages.MarkLost(event.messageNumber);
            m_errors.Add(
                QStringLiteral("No reply came to \"%1\" to %2: the message is presumed lost.")
                    .arg(ToQString(event.text), ToQString(DisplayText(event.recipient))));
            break;
        case SessionEvent::Kind::Answered:
            m_messages.MarkAnswered(event.messageNumber, event.text);
            break;
        case SessionEvent::Kind::Replying:
            m_messages.MarkReplied(event.messageId, event.text);
            break;
        case SessionEvent::Kind::Forwarding:
        case SessionEvent::Kind::Listening:
            break;
        case SessionEvent::Kind::Error:
            m_errors.Add(ToQString(event.text));
            break;
    }
}

// --- buttons ---

void CParlonDlg::OnConnect() {
    m_session->OnConnect();
    // Connected: on to the list, to choose a recipient; refused: Connect again, to retry.
    if (m_connectButton->isEnabled()) {
        m_connectButton->setFocus(Qt::OtherFocusReason);
    } else {
        m_listView->setFocus(Qt::OtherFocusReason);
    }
}

void CParlonDlg::OnDisconnect() {
    m_session->OnDisconnect();
    m_connectButton->setFocus(Qt::OtherFocusReason);
}

void CParlonDlg::OnExit() {
    m_session->OnExit();
    UserFields fields{m_session->Nickname(), 0, m_session->Port()};
    if (ReadFields(fields)) {
        accept();
    }
}

void CParlonDlg::OnMessages() {
    if (m_messagesWindow == nullptr) {
        m_messagesWindow = new CMessagesDlg(this, m_messages);
        m_messagesWindow->move(CascadePosition(pos(), m_messagesWindow->frameSize(), {pos()},
                                               screen()->availableGeometry()));
    }
    m_messagesWindow->Open();
}

void CParlonDlg::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}

}  // namespace parlon
