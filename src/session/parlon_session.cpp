#include "session/parlon_session.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <utility>

#include "common/text_field.h"
#include "common/utf8_text.h"
#include "crypto/encryption_context.h"
#include "net/center_connection.h"
#include "net/center_link.h"
#include "net/peer_listener.h"
#include "session/message_form.h"

namespace parlon {

namespace {

constexpr const char* kStatusDisconnected = "Disconnected";
constexpr const char* kStatusInitializing = "Initializing Encryption...";
constexpr const char* kStatusRegistering = "Registering On Center...";
constexpr const char* kStatusConnected = "Connected";
constexpr const char* kStatusRegisterFailed = "Error Reistering On Center!";
constexpr const char* kStatusListenFailed = "Error Listening On Port!";

// While a registration is in flight, its answer is looked for this often.
constexpr uint32_t kExchangePollMs = 10;

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
    m_listenerFailureShown = false;  // a Connect shows a listener's failure afresh
    // The listener comes before the key pair: the key pair's own address must carry the port
    // the listener got (when port 0 let the system pick one).
    if (!StartListenerOnOwnPort()) {
        m_host.EnableConnect(true);
        return;
    }
    InitEncryption();
    m_ownEntry.SetPublicKey(m_pEncryption->GetPublicKey());
    // A new transport for every Connect, so the center always learns the key pair in use.
    m_pCenter = m_services.makeCenterLink(m_ownEntry, m_centerAddress);
    m_registrationInFlight = false;  // an answer for the link just replaced is of no use
    m_registeringAtConnect = true;
    RegisterOnCenter();
}

bool ParlonSession::UpdateOwnEntry() {
    UserFields fields{m_strNickname, m_ownIp, m_nPort};
    // A refused field keeps its value, but Connect stops there: going on would announce the
    // old value. Port 0 comes only from a host that lets the system pick the port (parlon-cli's
    // --port 0); the window refuses it in its field, so it never reaches the listener from there.
    const bool accepted = m_host.ReadFields(fields);
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
    auto replacement = m_services.makeEncryption(m_ownEntry.Address(), m_activeParlons);
    m_pEncryption = std::move(replacement);  // the old context goes after the new one exists
    m_pEncryption->SetHopCount(1);
    m_pEncryption->SetReceivedParlons(m_nextParlons);
    UpdateRouteLifetime();
    m_incoming.Open();
}

void ParlonSession::UpdateRouteLifetime() {
    if (m_pEncryption == nullptr) {
        return;
    }
    // A reply normally comes back within the bound after which its message is reported lost;
    // records live twice that, so that a reply that comes late is still shown.
    const auto deliveryDeadline =
        m_pCenter != nullptr ? m_pCenter->DeliveryDeadline() : TransportDeadlines{}.peerExchange;
    m_pEncryption->SetRouteLifetime(
        2 * LostMessageWatch::ReplyBound(m_schedule, m_schedule.hopCount, deliveryDeadline));
}

bool ParlonSession::StartListenerOnOwnPort() {
    // The listener follows the own address and port: a parlon never announces an address or a
    // port it does not listen on. Port 0 asks the system for a free one, and then the port the
    // listener has will do. A listener that failed is started afresh.
    const bool anyPort = m_nPort == 0;
    if (m_listener != nullptr && !m_listener->Failed() && m_listeningOn.ip == m_ownEntry.ip &&
        (anyPort || m_listener->Port() == m_nPort)) {
        UseListenerPort();
        return true;
    }
    m_listener.reset();
    std::string error;
    m_listeningOn = m_ownEntry.Address();
    m_listener = PeerListener::Start(m_listeningOn, m_incoming, error);
    if (m_listener == nullptr) {
        ShowStatus(kStatusListenFailed);
        if (!m_listenerFailureShown) {
            m_listenerFailureShown = true;
            ReportError(error);  // it names the port
        }
        return false;
    }
    m_listenerFailureShown = false;
    UseListenerPort();
    SessionEvent listening{SessionEvent::Kind::Listening, {}, {}};
    listening.port = m_nPort;
    m_host.Notify(listening);
    return true;
}

void ParlonSession::UseListenerPort() {
    m_nPort = m_listener->Port();
    m_ownEntry.port = m_nPort;
}

// Hands the registration over; its answer arrives on the exchange timer (FinishRegistration).
void ParlonSession::RegisterOnCenter() {
    if (m_registrationInFlight) {
        return;  // the center has not answered the last one yet: that answer is awaited
    }
    Log(": Registering on center.");
    ShowStatus(kStatusRegistering);
    if (m_pCenter == nullptr) {
        m_pCenter = m_services.makeCenterLink(m_ownEntry, m_centerAddress);
    }
    m_pCenter->StartRegistration();
    m_registrationInFlight = true;
    SetTimer(kExchangeTimer, kExchangePollMs);
}

void ParlonSession::FinishRegistration() {
    std::optional<RegistrationOutcome> outcome;
    if (m_pCenter != nullptr && !(outcome = m_pCenter->TakeRegistration())) {
        return;  // still in flight
    }
    m_host.KillTimer(kExchangeTimer);
    m_registrationInFlight = false;
    const bool atConnect = std::exchange(m_registeringAtConnect, false);
    if (!outcome || !outcome->accepted) {
        ShowStatus(kStatusRegisterFailed);
        if (atConnect) {
            m_host.EnableConnect(true);
        }
        return;
    }
    m_nextParlons = std::move(outcome->parlons);
    m_nextSchedule = outcome->schedule;
    // A listener that failed meanwhile keeps its error in the status until it is restarted.
    if (m_listener == nullptr || !m_listener->Failed()) {
        ShowStatus(kStatusConnected);
    }
    if (m_nextSchedule.switchTime != m_schedule.switchTime) {
        ApplySchedule();
    }
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
    UpdateRouteLifetime();
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
    UpdateRouteLifetime();
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
                ReportLost(m_sentMessages.TakeOverdue(m_services.now()));
                break;
            case kExchangeTimer:
                FinishRegistration();
                break;
            default:
                break;
        }
    });
}

void ParlonSession::CheckListener() {
    if (m_listener != nullptr && m_listener->Failed() && !m_listenerFailureShown) {
        m_listenerFailureShown = true;
        ShowStatus(kStatusListenFailed);
        ReportError("listener on port " + std::to_string(m_listener->Port()) +
                    " stopped: " + m_listener->FailureText());
    }
}

void ParlonSession::ProcessIncoming() {
    if (m_pEncryption == nullptr) {
        return;  // nothing arrives while disconnected: the queue is closed
    }
    // Asked afresh for every item, so what arrives meanwhile is handled in the same tick, up to
    // the tick's share.
    size_t bytes = 0;
    for (size_t items = 0; items < kIncomingItemsPerTick && bytes < kIncomingBytesPerTick;
         ++items) {
        const std::optional<QueuedBlock> received = m_incoming.TakeFront();
        if (!received) {
            break;
        }
        bytes += received->bytes.Length();
        HandleIncoming(*received);
    }
}

void ParlonSession::HandleIncoming(const QueuedBlock& received) {
    PeerAddress nextHop;
    ReplyHandle message;
    const std::optional<ByteBuffer> inner =
        m_pEncryption->Unwrap(received.bytes, received.source, nextHop, message);
    if (!inner) {
        return;  // not ours to open (damaged, unknown, foreign, replayed, forged): dropped
    }
    if (!nextHop.IsNone()) {
        const std::string ip = nextHop.IpText();
        Log(m_privateLog ? ": Forwarding a message that wasn't for us."
                         : ": Forwarding a message that wasn't for us to ip " + ip + ".");
        m_host.Notify({SessionEvent::Kind::Forwarding, {}, ip});
        if (m_pCenter != nullptr) {
            m_pCenter->Send(nextHop, *inner);
        }
    } else if (message.NamesARecord()) {
        Log(": - Just recieved a new message!");
        OpenAnswer(*inner, message);
    } else {
        Log(": - Just recieved a new reply!");
        if (const auto answered = m_sentMessages.Settle(received.bytes)) {
            m_host.Notify({SessionEvent::Kind::Answered, ReceivedFieldText(*inner, 1), answered->to,
                           0, answered->number});
        }
        m_host.OpenViewForm(*inner);
    }
}

void ParlonSession::OpenAnswer(const ByteBuffer& text, const ReplyHandle& message) {
    if (m_openAnswers.size() >= kMaxOpenAnswerForms) {
        // A flood of messages opens no flood of windows: the answer is empty and leaves at once.
        QueueReply(message, QueuedText(""));
        return;
    }
    m_openAnswers.insert(message);
    m_host.OpenAnswerForm(text, message, ClampToInt32(m_schedule.replyTime));
}

void ParlonSession::QueueReply(const ReplyHandle& message, ByteBuffer text) {
    m_openAnswers.erase(message);
    QueueOutgoing(OutgoingTarget::Reply(message), std::move(text));
}

void ParlonSession::QueueOutgoing(OutgoingTarget target, ByteBuffer text) {
    const uint64_t number = target.kind == kNewMessage ? ++m_lastMessageNumber : 0;
    m_outgoingTargets.push_back({std::move(target), number});
    m_outgoing.Push(std::move(text));
}

void ParlonSession::SendOutgoing() {
    if (m_pEncryption == nullptr || m_pCenter == nullptr) {
        return;  // queued items leave after the next Connect
    }
    while (!m_outgoingTargets.empty()) {
        const QueuedTarget item = std::move(m_outgoingTargets.front());
        const ByteBuffer text = m_outgoing.Front();
        m_outgoingTargets.pop_front();
        m_outgoing.PopFront();
        if (item.target.kind == kNewMessage) {
            SendNewMessage(item.target.recipient, item.messageNumber, text);
        } else {
            SendReply(item.target.replyTo, text);
        }
    }
}

void ParlonSession::SendNewMessage(const MessageRecipient& recipient, uint64_t number,
                                   const ByteBuffer& text) {
    const std::string body(text.TextUpToNul());
    // The parlon chosen, wherever it stands in the list in use now.
    const std::optional<size_t> row = recipient.FindIn(m_activeParlons);
    if (!row) {
        m_host.Notify({SessionEvent::Kind::NotSent, body, recipient.nickname, 0, number});
        return;
    }
    const std::string nickname(m_activeParlons[*row].NicknameText());
    Log(m_privateLog ? ": - Sending a message."
                     : ": - Sending \"" + body + "\" to " + nickname + ".");
    m_host.Notify({SessionEvent::Kind::Sending, body, nickname, 0, number});

    PeerAddress firstHop;
    const std::optional<ByteBuffer> packet = m_pEncryption->WrapMessage(
        MakeTextField(text.Bytes()), static_cast<uint32_t>(*row), firstHop);
    if (!packet) {
        ReportError("Your message to " + nickname +
                    " was not sent: your own parlon is not in the list in use yet, or too many of "
                    "your messages await their replies.");
        return;
    }
    m_pCenter->Send(firstHop, *packet);  // an unreachable hop loses the message silently...
    // ...and the sender learns of it when no reply has come within the bound.
    const auto bound = LostMessageWatch::ReplyBound(m_schedule, m_pEncryption->HopCount(),
                                                    m_pCenter->DeliveryDeadline());
    m_sentMessages.Watch(firstHop, *packet, {nickname, body, number}, m_services.now() + bound);
}

void ParlonSession::SendReply(const ReplyHandle& message, const ByteBuffer& text) {
    const uint32_t messageId = message.MessageId();
    const std::string body(text.TextUpToNul());
    Log(m_privateLog ? ": - Replying to a message."
                     : ": - Replying \"" + body + "\" with Message ID " +
                           std::to_string(static_cast<int32_t>(messageId)) + ".");
    m_host.Notify({SessionEvent::Kind::Replying, body, {}, messageId});

    PeerAddress previousHop;
    const std::optional<ByteBuffer> packet =
        m_pEncryption->WrapReply(MakeTextField(text.Bytes()), message, previousHop);
    if (!packet) {
        ReportError("reply to message " + std::to_string(messageId) +
                    " dropped: no route back (its route expired, or the key pair it came "
                    "through is gone)");
        return;
    }
    m_pCenter->Send(previousHop, *packet);
}

void ParlonSession::OnDisconnect() {
    Guarded("Disconnect", [this] {
        m_host.KillTimer(kSwitchTimer);
        m_host.KillTimer(kPollTimer);
        m_host.KillTimer(kRegisterTimer);
        m_host.KillTimer(kExchangeTimer);
        m_registrationInFlight = false;
        m_registeringAtConnect = false;
        Log(": Deinitialize encryption and disconnect from server...");
        ShowStatus(kStatusDisconnected);
        m_activeParlons.clear();
        m_nextParlons.clear();
        RefreshListView();
        m_schedule = {};
        m_nextSchedule = {};
        m_incoming.Close();  // nothing received is kept while disconnected
        m_pEncryption.reset();
        m_pCenter.reset();  // hands the sign-off over
        m_host.EnableConnect(true);
        // The key pair that could read their replies is gone.
        ReportLost(m_sentMessages.TakeAll());
    });
}

void ParlonSession::ReportLost(std::vector<LostMessageWatch::Sent> lost) {
    for (LostMessageWatch::Sent& message : lost) {
        m_host.Notify({SessionEvent::Kind::Lost, std::move(message.text), std::move(message.to), 0,
                       message.number});
    }
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
