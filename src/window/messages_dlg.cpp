#include "window/messages_dlg.h"

#include <QHeaderView>
#include <QLabel>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "window/dialog_units.h"

namespace parlon {

CMessagesDlg::CMessagesDlg(QWidget* parent, const SessionMessages& messages)
    : QDialog(parent),
      m_messages(messages),
      m_list(new QTreeWidget(this)),
      m_countdown(new QTimer(this)) {
    setObjectName(QStringLiteral("messagesWindow"));
    setWindowTitle(QStringLiteral("Messages"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    const DialogUnits units(font());

    m_list->setObjectName(QStringLiteral("messageList"));
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setWordWrap(false);
    m_list->setTextElideMode(Qt::ElideRight);
    m_list->setHeaderLabels({QStringLiteral("To / From"), QStringLiteral("Message"),
                             QStringLiteral("What became of it")});
    m_list->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_list->header()->setSectionResizeMode(1, QHeaderView::Stretch);
    m_list->header()->setSectionResizeMode(2, QHeaderView::Stretch);

    auto* note = new QLabel(
        QStringLiteral("This session's messages. They are kept in memory only and are gone when "
                       "Parlon ends."),
        this);
    note->setWordWrap(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(units.X(7), units.Y(7), units.X(7), units.Y(7));
    layout->addWidget(note);
    layout->addWidget(m_list, 1);
    resize(units.Size(320, 160));

    m_countdown->setObjectName(QStringLiteral("messagesCountdown"));
    m_countdown->setInterval(1000);
    connect(m_countdown, &QTimer::timeout, this, &CMessagesDlg::Refresh);
    Refresh();
}

void CMessagesDlg::Open() {
    Refresh();
    show();
    raise();
    activateWindow();
}

void CMessagesDlg::Refresh() {
    const SessionMessages::Clock::time_point now = SessionMessages::Clock::now();
    const std::vector<SessionMessages::Entry>& entries = m_messages.Entries();
    while (m_list->topLevelItemCount() > static_cast<int>(entries.size())) {
        delete m_list->takeTopLevelItem(m_list->topLevelItemCount() - 1);
    }
    for (size_t index = 0; index < entries.size(); ++index) {
        QTreeWidgetItem* row = m_list->topLevelItem(static_cast<int>(index));
        if (row == nullptr) {
            row = new QTreeWidgetItem(m_list);
        }
        const SessionMessages::Entry& entry = entries[index];
        const QString state = QString::fromStdString(SessionMessages::StateText(entry, now));
        row->setText(0, QString::fromStdString(SessionMessages::WayText(entry)));
        row->setText(1, QString::fromStdString(entry.text));
        row->setText(2, state);
        row->setToolTip(1, row->text(1));
        row->setToolTip(2, state);
    }
    if (m_messages.HasAnswering()) {
        if (!m_countdown->isActive()) {
            m_countdown->start();
        }
    } else {
        m_countdown->stop();
    }
}

}  // namespace parlon
