// ParlonSession: one parlon's session, free of any widget: Connect, registration at the
// center, the three timers, the two parlon lists, and the sending, forwarding, answering and
// reading of messages. The Qt window and the terminal node each host one.
//
// Owns the activity log, the key pair (EncryptionContext), the transport (CenterLink), the
// peer listener and the outgoing queues. `host` is not owned and must outlive the session.
//
// THREAD SAFETY: every member is called on one thread, the host's; the only other thread is
// the listener's, which meets the session only through the incoming GuardedQueue. Handlers
// (OnConnect, OnDisconnect, OnTimer, QueueOutgoing) never let an exception out: a failure is
// shown to the user as an error event.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_buffer.h"
#include "common/wire_records.h"
#include "log/activity_log.h"
#include "queue/guarded_queue.h"
#include "session/session_host.h"
#include "session/session_services.h"
#include "settings/parlon_settings.h"

namespace parlon {

class CenterLink;
class EncryptionContext;
class PeerListener;

enum MessageKind : uint32_t {
    kNewMessage = 0,
    kReply = 1,
};

class ParlonSession {
  public:
    // Timer periods are kept in this range: a period of 0 from a center never makes a busy loop.
    static constexpr uint32_t kMinTimerPeriodMs = 10;
    static constexpr uint32_t kMaxTimerPeriodMs = 0x7FFFFFFF;
    // A switch due within this many milliseconds happens at once.
    static constexpr int32_t kImmediateSwitchMs = 50;

    ParlonSession(SessionHost& host, std::unique_ptr<ActivityLog> log, SessionServices services,
                  const ParlonSettings& settings);
    // Teardown: drops the key pair, signs off at the center (when registered), stops the listener.
    ~ParlonSession();
    ParlonSession(const ParlonSession&) = delete;
    ParlonSession& operator=(const ParlonSession&) = delete;

    // Shows the start values and writes the start line.
    void Start();
    void OnConnect();
    void OnDisconnect();
    void OnTimer(uint32_t id);
    // Writes the end line (the host then closes).
    void OnExit();

    // Appends one item to the outgoing queues; it leaves on the next poll tick.
    void QueueOutgoing(uint32_t kind, uint32_t target, ByteBuffer text);

    const std::string& Status() const noexcept { return m_strStatus; }
    const std::string& Nickname() const noexcept { return m_strNickname; }
    uint16_t Port() const noexcept { return m_nPort; }
    const std::vector<ParlonEntry>& ActiveParlons() const noexcept { return m_activeParlons; }
    const std::vector<ParlonEntry>& NextParlons() const noexcept { return m_nextParlons; }
    const CenterSchedule& Schedule() const noexcept { return m_schedule; }
    const CenterSchedule& NextSchedule() const noexcept { return m_nextSchedule; }
    const ParlonEntry& OwnEntry() const noexcept { return m_ownEntry; }
    bool IsEncryptionLive() const noexcept { return m_pEncryption != nullptr; }
    size_t OutgoingCount() const noexcept { return m_outgoingTags.size(); }

  private:
    // The steps of Connect and of the timers.
    void ConnectSequence();
    // False when the host refused a field or the port is 0: Connect stops.
    [[nodiscard]] bool UpdateOwnEntry();
    void InitEncryption();
    [[nodiscard]] bool StartListenerOnOwnPort();
    bool RegisterOnCenter();
    void ApplySchedule();
    void SwitchLists();
    void RefreshListView();
    void ProcessIncoming();
    void HandleIncoming(const ByteBuffer& received);
    void SendOutgoing();
    void SendNewMessage(uint32_t target, const ByteBuffer& text);
    void SendReply(uint32_t messageId, const ByteBuffer& text);
    void CheckListener();

    void ShowStatus(std::string status);
    void SetTimer(uint32_t id, uint32_t periodMs);
    void Log(std::string_view message);
    void ReportError(std::string text);
    // Runs one handler; an exception that escapes it is reported instead of propagated.
    template <typename Handler>
    void Guarded(const char* what, Handler&& handler);

    SessionHost& m_host;
    SessionServices m_services;
    GuardedQueue& m_incoming;

    std::string m_strStatus = "Disconnected";
    uint16_t m_nPort;
    std::string m_strNickname;
    uint32_t m_ownIp;
    std::unique_ptr<CenterLink> m_pCenter;
    std::unique_ptr<EncryptionContext> m_pEncryption;
    std::unique_ptr<PeerListener> m_pListener;
    PeerAddress m_listeningOn;  // what m_pListener was started with
    bool m_listenerFailureShown = false;
    // The EncryptionContext keeps a pointer to this vector: its address never changes.
    std::vector<ParlonEntry> m_activeParlons;
    std::vector<ParlonEntry> m_nextParlons;
    CenterSchedule m_schedule;
    CenterSchedule m_nextSchedule;
    ParlonEntry m_ownEntry;
    PeerAddress m_centerAddress;
    GuardedQueue m_outgoing;
    std::deque<uint32_t> m_outgoingPeers;
    std::deque<uint32_t> m_outgoingTags;
    std::unique_ptr<ActivityLog> m_log;
    const bool m_privateLog;  // log lines without texts, nicknames and addresses
};

}  // namespace parlon
