#include "window/tray_status.h"

#include <QSystemTrayIcon>
#include <QWidget>

#include "window/parlon_icon.h"

namespace parlon {

TrayStatus::TrayStatus(QWidget* window) {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        return;
    }
    m_icon = new QSystemTrayIcon(ParlonIcon(), window);
    m_icon->setObjectName(QStringLiteral("trayIcon"));
    QObject::connect(m_icon, &QSystemTrayIcon::activated, window, [window] {
        window->showNormal();
        window->raise();
        window->activateWindow();
    });
    m_icon->show();
}

void TrayStatus::ShowStatus(const QString& status) {
    if (m_icon != nullptr) {
        m_icon->setToolTip(QStringLiteral("Parlon: %1").arg(status));
    }
}

void TrayStatus::Notify(const QString& title, const QString& text) {
    if (m_icon != nullptr && QSystemTrayIcon::supportsMessages()) {
        m_icon->showMessage(title, text, QSystemTrayIcon::Information);
    }
}

}  // namespace parlon
