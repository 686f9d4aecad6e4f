#include "session/parlon_session.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <utility>

#include "common/text_field.h"
#include "common/utf8_text.h"
#include "crypto/encryption_context.h"
#include "net/center_link.h"
#include "net/peer_listener.h"

namespace parlon {

namespace {

constexpr const char* kStatusDisconnected = "Disconnected";
constexpr const char* kStatusInitializing = "Initializing Encryption...";
constexpr const char* kStatusRegistering = "Registering On Center...";
constexpr const char* kStatusConnected = "Connected";
constexpr const char* kStatusRegisterFailed = "Error Reistering On Center!";
constexpr const char* kStatusListenFailed = "Error Listening On Port!";

int32_t ClampToInt32(uint32_t value) {
    return static_cast<int32_t>(std::min<uint32_t>(value, std::numeric_limits<int32_t>::max()));
}

}  // namespace

ParlonSession::ParlonSession(SessionHost& host, std::unique_ptr<ActivityLog> log,
                             SessionServices services, const ParlonSettings& settings)
    : m_host(host),
      m_services(std::move(services)),
      m_incoming(*m_services.incoming),
      m_nPort(settings.ownPort),
      m_strNickname(settings.nickname),
      m_ownIp(settings.ownIp),
      m_centerAddress(settings.center),
      m_log(std::move(log)),
      m_privateLog(settings.privateLog) {}

ParlonSession::~ParlonSession() = default;

void ParlonSession::Start() {
    m_host.InitFields(m_strStatus, UserFields{m_strNickname, m_ownIp, m_nPort});
    Log(": ***** Application started!!! *****");
}

void ParlonSession::OnExit() {
    Guarded("Exit", [this] { Log(": ***** Application ended!!! *****"); });
}

void ParlonSession::OnConnect() {
    Guarded("Connect", [this] { ConnectSequence(); });
}

void ParlonSession::ConnectSequence() {
    m_host.EnableConnect(false);
    // Logged with the nickname of the last field exchange: a nickname typed just now shows
    // only in the lines after this one.
    Log(": Initialize encryption and connecting to server...");
    if (!UpdateOwnEntry()) {
        m_host.EnableConnect(true);  // the host told the user which field it refused
        return;
    }
    InitEncryption();
    m_listenerFailureShown = false;  // a Connect shows a listener's failure afresh
    if (!StartListenerOnOwnPort()) {
        m_host.EnableConnect(true);
        return;
    }
    m_ownEntry.SetPublicKey(m_pEncryption->GetPublicKey());
    // A new transport for every Connect, so the center always learns the key pair in use.
    m_pCenter = m_services.makeCenterLink(m_ownEntry, m_centerAddress);
    if (!RegisterOnCenter()) {
        m_host.EnableConnect(true);
    }
}

bool ParlonSession::UpdateOwnEntry() {
    UserFields fields{m_strNickname, m_ownIp, m_nPort};
    // A refused field keeps its value, but Connect stops there: going on would announce the
    // old value, or port 0, on which nobody can reach this parlon.
    const bool accepted = m_host.ReadFields(fields) && fields.port != 0;
    m_strNickname = std::move(fields.nickname);
    m_ownIp = fields.ip;
    m_nPort = fields.port;

    m_ownEntry.ip = m_ownIp;
    m_ownEntry.port = m_nPort;
    m_ownEntry.SetNickname(Utf8Prefix(m_strNickname, kNicknameFieldSize));
    return accepted;
}

void ParlonSession::InitEncryption() {
    ShowStatus(kStatusInitializing);
    auto replacement = m_services.makeEncryption(m_ownEntry.Address(), &m_activeParlons);
    m_pEncryption = std::move(replacement);  // the old context goes after the new one exists
    m_pEncryption->SetHopCount(1);
}

bool ParlonSession::StartListenerOnOwnPort() {
    // The listener follows the own address and port: a parlon never announces an address it
    // does not listen on. A listener that failed is started afresh.
    if (m_pListener != nullptr && m_listeningOn == m_ownEntry.Address() && !m_pListener->Failed()) {
        return true;
    }
    m_pListener.reset();
    std::string error;
    m_listeningOn = m_ownEntry.Address();
    m_pListener = m_services.startListener(m_listeningOn, m_incoming, error);
    if (m_pListener == nullptr) {
        ShowStatus(kStatusListenFailed);
        if (!m_listenerFailureShown) {
            m_listenerFailureShown = true;
            ReportError(error);  // it names the port
        }
        return false;
    }
    m_listenerFailureShown = false;
    return true;
}

bool ParlonSession::RegisterOnCenter() {
    Log(": Registering on center.");
    ShowStatus(kStatusRegistering);
    if (m_pCenter == nullptr) {
        m_pCenter = m_services.makeCenterLink(m_ownEntry, m_centerAddress);
    }
    if (!m_pCenter->Register(m_nextParlons, m_nextSchedule)) {
        ShowStatus(kStatusRegisterFailed);
        return false;
    }
    ShowStatus(kStatusConnected);
    if (m_nextSchedule.switchTime != m_schedule.switchTime) {
        ApplySchedule();
    }
    return true;
}

void ParlonSession::ApplySchedule() {
    m_host.KillTimer(kSwitchTimer);
    if (m_nextSchedule.registerPeriod != m_schedule.registerPeriod) {
        m_host.KillTimer(kRegisterTimer);
        SetTimer(kRegisterTimer, m_nextSchedule.registerPeriod);
    }
    // The poll period comes into force only at the switch.
    const uint32_t pollPeriodInForce = m_schedule.pollPeriod;
    m_schedule = m_nextSchedule;
    m_schedule.pollPeriod = pollPeriodInForce;

    const auto delay = static_cast<int32_t>(m_schedule.switchTime - m_schedule.centerTime);
    if (delay <= kImmediateSwitchMs) {
        SwitchLists();
    } else {
        SetTimer(kSwitchTimer, static_cast<uint32_t>(delay));
    }
    if (m_pEncryption != nullptr) {
        m_pEncryption->SetHopCount(m_schedule.hopCount);
    }
}

void ParlonSession::SwitchLists() {
    Log(": Switching parlon lists.");
    if (m_nextSchedule.pollPeriod != m_schedule.pollPeriod) {
        m_schedule.pollPeriod = m_nextSchedule.pollPeriod;
        m_host.KillTimer(kPollTimer);
        SetTimer(kPollTimer, m_schedule.pollPeriod);
    }
    m_activeParlons = m_nextParlons;  // assignment keeps the vector's address
    RefreshListView();
}

void ParlonSession::RefreshListView() {
    m_host.RebuildListView(m_nextParlons);
}

void ParlonSession::OnTimer(uint32_t id) {
    Guarded("Timer", [this, id] {
        switch (id) {
            case kSwitchTimer:
                m_host.KillTimer(kSwitchTimer);
                SwitchLists();
                break;
            case kRegisterTimer:
                // Only a parlon that listens is announced: a failed listener is restarted
                // first, and while it cannot be, the entry is not renewed (the center drops it
                // when it expires) and the status keeps saying why.
                if (StartListenerOnOwnPort()) {
                    RegisterOnCenter();
                }
                break;
            case kPollTimer:
                CheckListener();
                ProcessIncoming();
                SendOutgoing();
                break;
            default:
                break;
        }
    });
}

void ParlonSession::CheckListener() {
    if (m_pListener != nullptr && m_pListener->Failed() && !m_listenerFailureShown) {
        m_listenerFailureShown = true;
        ShowStatus(kStatusListenFailed);
        ReportError("listener on port " + std::to_string(m_pListener->Port()) +
                    " stopped: " + m_pListener->FailureText());
    }
}

void ParlonSession::ProcessIncoming() {
    if (m_pEncryption == nullptr) {
        return;  // what arrived waits for the next Connect
    }
    // Asked afresh for every item: what arrives meanwhile is handled in the same tick.
    while (std::optional<ByteBuffer> received = m_incoming.TakeFront()) {
        HandleIncoming(*received);
    }
}

void ParlonSession::HandleIncoming(const ByteBuffer& received) {
    PeerAddress nextHop;
    uint32_t messageId = 0;
    const std::optional<ByteBuffer> inner = m_pEncryption->Unwrap(received, nextHop, messageId);
    if (!inner) {
        return;  // not ours to open (damaged, unknown, foreign): dropped
    }
    if (nextHop.ip != 0) {
        const std::string ip = nextHop.IpText();
        Log(m_privateLog ? ": Forwarding a message that wasn't for us."
                         : ": Forwarding a message that wasn't for us to ip " + ip + ".");
        m_host.Notify({SessionEvent::Kind::Forwarding, {}, ip});
        if (m_pCenter != nullptr) {
            m_pCenter->Send(nextHop, *inner);
        }
    } else if (messageId != 0) {
        Log(": - Just recieved a new message!");
        m_host.OpenAnswerForm(*inner, messageId, ClampToInt32(m_schedule.replyTime));
    } else {
        Log(": - Just recieved a new reply!");
        m_host.OpenViewForm(*inner);
    }
}

void ParlonSession::QueueOutgoing(uint32_t kind, uint32_t target, ByteBuffer text) {
    m_outgoingTags.push_back(kind);
    m_outgoingPeers.push_back(target);
    m_outgoing.Push(std::move(text));
}

void ParlonSession::SendOutgoing() {
    if (m_pEncryption == nullptr || m_pCenter == nullptr) {
        return;  // queued items leave after the next Connect
    }
    while (!m_outgoingTags.empty()) {
        const uint32_t kind = m_outgoingTags.front();
        const uint32_t target = m_outgoingPeers.front();
        const ByteBuffer text = m_outgoing.Front();
        m_outgoingTags.pop_front();
        m_outgoingPeers.pop_front();
        m_outgoing.PopFront();
        if (kind == kNewMessage) {
            SendNewMessage(target, text);
        } else if (kind == kReply) {
            SendReply(target, text);
        }
    }
}

void ParlonSession::SendNewMessage(uint32_t target, const ByteBuffer& text) {
    if (target >= m_activeParlons.size()) {
        ReportError("message dropped: row " + std::to_string(static_cast<int32_t>(target)) +
                    " names no parlon of the list in use");
        return;
    }
    const std::string recipient(m_activeParlons[target].NicknameText());
    const std::string body(text.TextUpToNul());
    Log(m_privateLog ? ": - Sending a message."
                     : ": - Sending \"" + body + "\" to " + recipient + ".");
    m_host.Notify({SessionEvent::Kind::Sending, body, recipient});

    PeerAddress firstHop;
    const std::optional<ByteBuffer> packet =
        m_pEncryption->WrapMessage(MakeTextField(text.Bytes()), target, firstHop);
    if (!packet) {
        ReportError("message to " + recipient +
                    " dropped: no route (this parlon is not in the list in use)");
        return;
    }
    m_pCenter->Send(firstHop, *packet);  // an unreachable hop loses the message silently
}

void ParlonSession::SendReply(uint32_t messageId, const ByteBuffer& text) {
    const std::string body(text.TextUpToNul());
    Log(m_privateLog ? ": - Replying to a message."
                     : ": - Replying \"" + body + "\" with Message ID " +
                           std::to_string(static_cast<int32_t>(messageId)) + ".");
    m_host.Notify({SessionEvent::Kind::Replying, body, {}, messageId});

    PeerAddress previousHop;
    const std::optional<ByteBuffer> packet =
        m_pEncryption->WrapReply(MakeTextField(text.Bytes()), messageId, previousHop);
    if (!packet) {
        ReportError("reply to message " + std::to_string(messageId) +
                    " dropped: no route back (the key pair it came through is gone)");
        return;
    }
    m_pCenter->Send(previousHop, *packet);
}

void ParlonSession::OnDisconnect() {
    Guarded("Disconnect", [this] {
        m_host.KillTimer(kSwitchTimer);
        m_host.KillTimer(kPollTimer);
        m_host.KillTimer(kRegisterTimer);
        Log(": Deinitialize encryption and disconnect from server...");
        ShowStatus(kStatusDisconnected);
        m_activeParlons.clear();
        m_nextParlons.clear();
        RefreshListView();
        m_schedule = {};
        m_nextSchedule = {};
        m_pEncryption.reset();
        m_pCenter.reset();  // signs off at the center
        m_host.EnableConnect(true);
    });
}

void ParlonSession::ShowStatus(std::string status) {
    m_strStatus = std::move(status);
    m_host.ShowStatus(m_strStatus, m_strNickname, m_nPort);
}

void ParlonSession::SetTimer(uint32_t id, uint32_t periodMs) {
    m_host.SetTimer(id, std::clamp(periodMs, kMinTimerPeriodMs, kMaxTimerPeriodMs));
}

void ParlonSession::Log(std::string_view message) {
    std::string line = m_strNickname;
    line.append(message);
    m_log->Append(line);
}

void ParlonSession::ReportError(std::string text) {
    m_host.Notify({SessionEvent::Kind::Error, std::move(text), {}});
}

template <typename Handler>
void ParlonSession::Guarded(const char* what, Handler&& handler) {
    try {
        handler();
    } catch (const std::exception& error) {
        try {
            ReportError(std::string(what) + " failed: " + error.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            ReportError(std::string(what) + " failed");
        } catch (...) {
        }
    }
}

}  // namespace parlon
