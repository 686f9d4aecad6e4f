// CParlonDlg: the main window of the desktop program, and the host of the parlon's session.
//
// It shows the user's own fields (nickname, IPv4 address, port), the status line, the list of
// parlons and the Connect, Disconnect, Exit and Messages buttons, and hands every press to the
// ParlonSession it owns; the session drives the window back through the SessionHost interface
// (fields, status, buttons, timers, list, message windows, errors).
//
// A message is composed to the parlon of the row chosen (double click, Return or Enter), not
// to the row: the compose window holds that parlon. The list keeps the parlon selected across
// every rebuild. Message windows that open by themselves (a message or reply arrived) never take
// the keyboard from the window the user types in, and cascade instead of covering each other;
// while the program is in the background an arrival raises the attention flag and, where the
// desktop has a system tray, a notification. This session's messages are listed in memory by
// the Messages window.
//
// Ownership: the window owns the session (and through it the log, the key pair, the transport
// and the queues), the messages of this session, and every message window it opens (its Qt
// children). Teardown destroys the message windows, then the session, which signs a registered
// parlon off at the center.
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
#include "window/session_messages.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QTreeWidget;

namespace parlon {

class CMessagesDlg;
class IpAddressEdit;
class TrayStatus;
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
    // Opens a compose window for the parlon of the row last selected, if any.
    void OnDblclkParlonList();
    void OnAbout();
    void OnMessages();

    // Tells the user why the field labelled `label` was refused, naming it, and puts the focus
    // on it with its text selected.
    void RefuseField(QLineEdit* field, const char* label, const std::string& message);
    // The row last selected in the list view, or -1.
    int SelectionMark() const;
    // Shows `form` cascaded from this window; only a window the user asked for takes the focus.
    void OpenMessageWindow(MessageForm form, bool takeFocus);
    // A message or reply arrived: the attention flag and a notification while in the background.
    void DrawAttention(const QString& what);
    void ShowUserFields(const std::string& nickname, uint16_t port);
    // Shares the list's width among the columns in their drawn-up proportions.
    void FitColumns();

    Utf8LineEdit* m_nicknameEdit = nullptr;
    IpAddressEdit* m_ipAddress = nullptr;
    QLineEdit* m_portEdit = nullptr;
    QPushButton* m_connectButton = nullptr;
    QPushButton* m_disconnectButton = nullptr;
    QPushButton* m_exitButton = nullptr;
    QPushButton* m_aboutButton = nullptr;
    QPushButton* m_messagesButton = nullptr;
    QLabel* m_statusLine = nullptr;
    QTreeWidget* m_listView = nullptr;
    std::vector<ParlonEntry> m_shownParlons;  // row i of the list view shows entry i
    std::map<uint32_t, QTimer*> m_timers;     // children of this window, one per timer id
    ErrorNotice m_errors;
    SessionMessages m_messages;
    CMessagesDlg* m_messagesWindow = nullptr;  // a child, made when first opened
    std::unique_ptr<TrayStatus> m_tray;
    std::unique_ptr<ParlonSession> m_session;
};

}  // namespace parlon
