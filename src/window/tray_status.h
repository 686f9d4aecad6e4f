// TrayStatus: the program's icon in the desktop's system tray, where there is one. Its tool tip
// shows the connection status, a click on it brings the main window to the front, and it tells
// the user of a message or reply that arrived while the program's windows were in the
// background. Without a system tray it does nothing, and nothing else depends on it.
//
// Owned by the main window; `window` must outlive it. GUI thread only.
#pragma once

#include <QString>

class QSystemTrayIcon;
class QWidget;

namespace parlon {

class TrayStatus {
  public:
    explicit TrayStatus(QWidget* window);

    void ShowStatus(const QString& status);
    void Notify(const QString& title, const QString& text);

  private:
    QSystemTrayIcon* m_icon = nullptr;  // a child of the window; null without a tray
};

}  // namespace parlon
