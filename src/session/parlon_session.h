// ParlonSession: one parlon's session, free of any widget: Connect, registration at the
// center, the three timers, the two parlon lists, and the sending, forwarding, answering and
// reading of messages. The Qt window and the terminal node each host one.
//
// Owns the activity log, the key pair (EncryptionContext), the transport (CenterLink), the
// peer listener and the outgoing queues. `host` is not owned and must outlive the session.
//
// THREAD SAFETY: every member is called on one thread, the host's, which never waits on the
// network: the listener's thread meets the session only through the incoming GuardedQueue, and
// the transport's exchanges run on its own threads (a registration's answer is taken by the
// exchange timer; a delivery's end is not waited for). Handlers
// (OnConnect, OnDisconnect, OnTimer, QueueOutgoing) never let an exception out: a failure is
// shown to the user as an error event.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_buffer.h"
#include "common/wire_records.h"
#include "crypto/reply_handle.h"
#include "log/activity_log.h"
#include "queue/guarded_queue.h"
#include "session/lost_message_watch.h"
#include "session/message_recipient.h"
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

// Where an outgoing item goes: a new message to the parlon the user chose, or a reply through
// the route record of the message it answers.
struct OutgoingTarget {
    MessageKind kind = kNewMessage;
    MessageRecipient recipient;  // kNewMessage
    ReplyHandle replyTo;         // kReply

    static OutgoingTarget Message(MessageRecipient recipient) {
        return {kNewMessage, std::move(recipient), {}};
    }
    static OutgoingTarget Reply(const ReplyHandle& message) { return {kReply, {}, message}; }
};

class ParlonSession {
  public:
    // Timer periods are kept in this range: a period of 0 from a center never makes a busy loop.
    static constexpr uint32_t kMinTimerPeriodMs = 10;
    static constexpr uint32_t kMaxTimerPeriodMs = 0x7FFFFFFF;
    // A switch due within this many milliseconds happens at once.
    static constexpr int32_t kImmediateSwitchMs = 50;
    // One poll tick handles at most this share of what arrived (and at least one item), so that
    // a flood delays the timers by one share at most; the rest waits for the next tick.
    static constexpr size_t kIncomingItemsPerTick = 128;
    static constexpr size_t kIncomingBytesPerTick = 16 * 1024;
    // Answer forms open at once; a message beyond them is answered at once with an empty reply.
    static constexpr size_t kMaxOpenAnswerForms = 16;

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

    // Appends one item to the outgoing queues; it leaves on the next poll tick. A new message
    // leaves only if its recipient is then in the list in use; otherwise the user is told
    // (a NotSent event) and nothing is logged or sent.
    void QueueOutgoing(OutgoingTarget target, ByteBuffer text);
    // Queues the answer to `message` (as an answer form got it); it leaves on the next poll tick
    // through the route of that message and no other.
    void QueueReply(const ReplyHandle& message, ByteBuffer text);

    const std::string& Status() const noexcept { return m_strStatus; }
    const std::string& Nickname() const noexcept { return m_strNickname; }
    uint16_t Port() const noexcept { return m_nPort; }
    const std::vector<ParlonEntry>& ActiveParlons() const noexcept { return m_activeParlons; }
    const std::vector<ParlonEntry>& NextParlons() const noexcept { return m_nextParlons; }
    const ParlonEntry& OwnEntry() const noexcept { return m_ownEntry; }
    const CenterSchedule& Schedule() const noexcept { return m_schedule; }
    size_t OutgoingCount() const noexcept { return m_outgoingTargets.size(); }
    size_t OpenAnswerCount() const noexcept { return m_openAnswers.size(); }

  private:
    // The steps of Connect and of the timers.
    void ConnectSequence();
    // False when the host refused a field: Connect stops.
    [[nodiscard]] bool UpdateOwnEntry();
    void InitEncryption();
    [[nodiscard]] bool StartListenerOnOwnPort();
    // The own port (and entry) become the port the listener has.
    void UseListenerPort();
    void RegisterOnCenter();
    void FinishRegistration();
    void ApplySchedule();
    void SwitchLists();
    void RefreshListView();
    void ProcessIncoming();
    void HandleIncoming(const QueuedBlock& received);
    void OpenAnswer(const ByteBuffer& text, const ReplyHandle& message);
    void SendOutgoing();
    void SendNewMessage(const MessageRecipient& recipient, uint64_t number, const ByteBuffer& text);
    // The log line shows `message`'s id; the reply goes through `message`'s record.
    void SendReply(const ReplyHandle& message, const ByteBuffer& text);
    // Route records live as long as a reply may take under the schedule in force.
    void UpdateRouteLifetime();
    void CheckListener();
    void ReportLost(std::vector<LostMessageWatch::Sent> lost);

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
    bool m_registrationInFlight = false;
    bool m_registeringAtConnect = false;  // a failure gives the Connect button back
    std::unique_ptr<EncryptionContext> m_pEncryption;
    std::unique_ptr<PeerListener> m_listener;
    PeerAddress m_listeningOn;  // what m_listener was started with
    bool m_listenerFailureShown = false;
    // The EncryptionContext keeps references to these vectors: they must never be replaced.
    std::vector<ParlonEntry> m_activeParlons;
    std::vector<ParlonEntry> m_nextParlons;
    CenterSchedule m_schedule;
    CenterSchedule m_nextSchedule;
    ParlonEntry m_ownEntry;
    PeerAddress m_centerAddress;
    // An outgoing item is the text at the front of m_outgoing and the target at the front of
    // m_outgoingTargets: both are pushed and popped together.
    struct QueuedTarget {
        OutgoingTarget target;
        uint64_t messageNumber = 0;  // kNewMessage
    };
    GuardedQueue m_outgoing;
    std::deque<QueuedTarget> m_outgoingTargets;
    uint64_t m_lastMessageNumber = 0;
    // The messages whose answer forms are open: opened and not yet answered.
    std::set<ReplyHandle> m_openAnswers;
    LostMessageWatch m_sentMessages;
    std::unique_ptr<ActivityLog> m_log;
    const bool m_privateLog;  // log lines without texts, nicknames and addresses
};

}  // namespace parlon
