// CParlonDlg: the main window of the desktop program, and the host of the parlon's session.
//
// It shows the user's own fields (nickname, IPv4 address, port), the status line, the list of
// parlons and the Connect, Disconnect and Exit buttons, and hands every press to the
// ParlonSession it owns; the session drives the window back through the SessionHost interface
// (fields, status, buttons, timers, list, message windows, errors).
//
// Ownership: the window owns the session (and through it the log, the key pair, the transport
// and the queues) and every message window it opens (its Qt children). Teardown destroys the
// message windows, then the session, which signs a registered parlon off at the center.
//
// THREAD SAFETY: GUI thread only; the session's timers are QTimers on this thread.
#pragma once

#include <QDialog>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "log/activity_log.h"
#include "session/message_form.h"
#include "session/parlon_session.h"
#include "session/session_host.h"
#include "session/session_services.h"
#include "settings/parlon_settings.h"
#include "window/error_notice.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QTreeWidget;

namespace parlon {

class IpAddressEdit;
class Utf8LineEdit;

class CParlonDlg final : public QDialog, public SessionHost {
    Q_OBJECT
  public:
    // Builds the window, makes the session from the log, the services and the settings, and
    // starts it: the start values go into the fields and the start line into the log.
    CParlonDlg(std::unique_ptr<ActivityLog> log, SessionServices services,
               const ParlonSettings& settings, QWidget* parent = nullptr);
    ~CParlonDlg() override;

    ParlonSession& Session() noexcept { return *m_session; }
    const ParlonSession& Session() const noexcept { return *m_session; }

    // SessionHost
    bool ReadFields(UserFields& fields) override;
    void InitFields(const std::string& status, const UserFields& fields) override;
    void ShowStatus(const std::string& status, const std::string& nickname, uint16_t port) override;
    void EnableConnect(bool connectEnabled) override;
    void SetTimer(uint32_t id, uint32_t periodMs) override;
    void KillTimer(uint32_t id) override;
    void RebuildListView(const std::vector<ParlonEntry>& parlons) override;
    void OpenAnswerForm(const ByteBuffer& text, const ReplyHandle& message,
                        int32_t replyTimeMs) override;
    void OpenViewForm(const ByteBuffer& result) override;
    void Notify(const SessionEvent& event) override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildControls();
    void OnConnect();
    void OnDisconnect();
    // Writes the end line, then closes the window if the fields read back without refusal.
    void OnExit();
    // Opens a compose window for the list view's selection mark.
    void OnDblclkParlonList();
    void OnAbout();

    // Tells the user why `field` was refused and puts the focus on it with its text selected.
    void RefuseField(QLineEdit* field, const std::string& message);
    // The row last selected in the list view, or -1.
    int SelectionMark() const;
    void OpenMessageWindow(MessageForm form);
    void ShowUserFields(const std::string& nickname, uint16_t port);

    Utf8LineEdit* m_nicknameEdit = nullptr;
    IpAddressEdit* m_ipAddress = nullptr;
    QLineEdit* m_portEdit = nullptr;
    QPushButton* m_connectButton = nullptr;
    QPushButton* m_disconnectButton = nullptr;
    QPushButton* m_exitButton = nullptr;
    QPushButton* m_aboutButton = nullptr;
    QLabel* m_statusLine = nullptr;
    QTreeWidget* m_listView = nullptr;
    std::map<uint32_t, QTimer*> m_timers;  // children of this window, one per timer id
    ErrorNotice m_errors;
    std::unique_ptr<ParlonSession> m_session;
};

}  // namespace parlon
