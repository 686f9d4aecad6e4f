#include "center/center_server.h"

#include <cassert>
#include <cstdio>
#include <memory>
#include <utility>

#include "center/center_exchange.h"
#include "center/center_schedule.h"
#include "common/utf8_text.h"
#include "net/asio_endpoint.h"
#include "net/packet.h"
#include "net/wire_format.h"

namespace parlon {

using asio::ip::tcp;

namespace {

// A nickname as it may go into a log line: it comes from the network, so it is made one line.
std::string PrintableNickname(const ParlonEntry& entry) {
    std::string quoted = "\"";
    quoted += OneLineText(entry.NicknameText());
    quoted += '"';
    return quoted;
}

std::string CountText(size_t count) {
    return std::to_string(count) + " registered";
}

}  // namespace

CenterServer::CenterServer(asio::io_context& io, const CenterSettings& settings, CenterLogSink log,
                           std::function<void()> onAcceptingFailed)
    : m_settings(settings),
      m_log(std::move(log)),
      m_onAcceptingFailed(std::move(onAcceptingFailed)),
      m_start(std::chrono::steady_clock::now()),
      m_registry(Millis(settings.expire), settings.maxEntries),
      m_acceptor(
          io, settings.maxConnections,
          {.accepted =
               [this](tcp::socket socket, const tcp::endpoint& peer, ConnectionSlot slot) {
                   OnAccepted(std::move(socket), peer, std::move(slot));
               },
           .refused =
               [this](const tcp::endpoint& peer, size_t open) {
                   Log("refused connection from " + EndpointText(ToPeerAddress(peer)) +
                       ": too many connections (" + std::to_string(open) + " open)");
               },
           .paused = [this](std::error_code error) { Log("accepting failed: " + error.message()); },
           .ended = [this](std::error_code error) { OnAcceptingEnded(error); }}),
      m_expiryTimer(io) {
    assert(settings.switchPeriod > 0 && settings.expire > 0);
}

CenterServer::~CenterServer() {
    assert(m_exchanges.empty());
}

std::error_code CenterServer::Listen(const tcp::endpoint& endpoint) {
    return m_acceptor.Listen(endpoint);
}

void CenterServer::Close() {
    m_closed = true;
    m_acceptor.Close();
    m_expiryTimer.cancel();
    for (CenterExchange* exchange : m_exchanges) {
        exchange->Abort();
    }
}

CenterReply CenterServer::OnRegistration(const ParlonEntry& entry) {
    SweepExpired();
    const Millis now = Now();
    const std::string who = EndpointText(entry.Address()) + " " + PrintableNickname(entry);
    switch (m_registry.Register(entry, now)) {
        case CenterRegistry::Outcome::Added:
            Log("registered " + who + " (new; " + CountText(m_registry.Size()) + ")");
            break;
        case CenterRegistry::Outcome::Renewed:
            Log("registered " + who + " (renewed; " + CountText(m_registry.Size()) + ")");
            break;
        case CenterRegistry::Outcome::Full:
            Log("registration of " + who + " refused: the list is full (" +
                CountText(m_registry.Size()) + ")");
            break;
    }
    ArmExpiryTimer();
    return {EncodeCenterReplyHead(ScheduleAt(m_settings, now),
                                  static_cast<uint32_t>(m_registry.Size())),
            ListedBytes()};
}

const ByteBuffer& CenterServer::ListedBytes() {
    if (m_listedRevision != m_registry.Revision()) {
        const std::vector<ParlonEntry>& entries = m_registry.Entries();
        m_listedBytes =
            ByteBuffer(entries.data(), static_cast<uint32_t>(entries.size() * kParlonEntrySize));
        m_listedRevision = m_registry.Revision();
    }
    return m_listedBytes;
}

void CenterServer::OnSignOff(const PeerAddress& address) {
    if (m_registry.SignOff(address)) {
        Log("signed off " + EndpointText(address) + " (" + CountText(m_registry.Size()) + ")");
    } else {
        Log("sign-off of " + EndpointText(address) + ", which is not registered");
    }
}

void CenterServer::OnExchangeEnded(CenterExchange& exchange) {
    m_exchanges.erase(&exchange);
}

void CenterServer::Log(const std::string& text) {
    if (!m_log) {
        return;
    }
    char stamp[32];
    const auto now = Now().count();
    std::snprintf(stamp, sizeof stamp, "[%lld.%03lld] ", static_cast<long long>(now / 1000),
                  static_cast<long long>(now % 1000));
    m_log(stamp + text);
}

void CenterServer::OnAccepted(tcp::socket socket, const tcp::endpoint& peer, ConnectionSlot slot) {
    CenterExchangeOwner& owner = *this;  // the base is private: converted here, where it is known
    auto exchange =
        std::make_shared<CenterExchange>(owner, std::move(socket), peer, std::move(slot),
                                         std::chrono::milliseconds(m_settings.requestDeadline));
    m_exchanges.insert(exchange.get());
    exchange->Start();
}

void CenterServer::OnAcceptingEnded(std::error_code error) {
    Log("accepting failed: " + error.message());
    Close();
    if (m_onAcceptingFailed) {
        m_onAcceptingFailed();
    }
}

void CenterServer::SweepExpired() {
    for (const ParlonEntry& entry : m_registry.DropExpired(Now())) {
        Log("expired " + EndpointText(entry.Address()) + " " + PrintableNickname(entry) + " (" +
            CountText(m_registry.Size()) + ")");
    }
}

void CenterServer::ArmExpiryTimer() {
    // Renewals only move expiries later, so a timer armed for an earlier moment is still
    // right: it finds nothing to drop and arms itself again.
    const std::optional<Millis> next = m_registry.NextExpiry();
    if (m_expiryArmed || m_closed || !next) {
        return;
    }
    m_expiryArmed = true;
    m_expiryTimer.expires_at(m_start + *next);
    m_expiryTimer.async_wait([this](std::error_code error) {
        m_expiryArmed = false;
        if (!error) {
            SweepExpired();
            ArmExpiryTimer();
        }
    });
}

CenterServer::Millis CenterServer::Now() const {
    return std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - m_start);
}

}  // namespace parlon
