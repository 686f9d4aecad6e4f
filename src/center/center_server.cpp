#include "center/center_server.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <memory>
#include <utility>

#include "center/center_exchange.h"
#include "center/center_schedule.h"
#include "center/memory_registry_store.h"
#include "center/registration_admission.h"
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

// After a sweep of expired entries (or a batch of renewals) that found the store unreachable,
// wait this long before the next one instead of trying again at once.
constexpr std::chrono::milliseconds kSweepRetryDelay{250};

}  // namespace

CenterServer::CenterServer(asio::io_context& io, const CenterSettings& settings, CenterLogSink log,
                           std::unique_ptr<RegistryStore> store,
                           std::function<void()> onAcceptingFailed)
    : m_settings(settings),
      m_log(std::move(log)),
      m_onAcceptingFailed(std::move(onAcceptingFailed)),
      m_store(store != nullptr ? std::move(store)
                               : std::make_unique<MemoryRegistryStore>(Millis(settings.expire),
                                                                       settings.maxEntries)),
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
      m_expiryTimer(io),
      m_batchTimer(io),
      m_connectionsPerSource(settings.maxConnectionsPerSource),
      m_changeRate(static_cast<uint32_t>(settings.admission.maxPerAddress),
                   settings.changesPerMinute) {
    assert(settings.switchPeriod > 0 && settings.expire > 0);
    assert(settings.maxHeldReplyBytes >=
           kReplyEntriesOffset + settings.maxEntries * kParlonEntrySize);
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
    m_batchTimer.cancel();
    for (CenterExchange* exchange : m_exchanges) {
        exchange->Abort();
    }
}

std::optional<CenterReply> CenterServer::OnRegistration(const ParlonEntry& entry,
                                                        uint32_t clientIp) {
    const Millis now = Now();
    const std::string who = EndpointText(entry.Address()) + " " + PrintableNickname(entry);
    const auto refuse = [&](const std::string& reason) {
        Log("registration of " + who + " from " + PeerAddress{clientIp, 0}.IpText() +
            " refused: " + reason);
        return std::nullopt;
    };
    if (std::optional<std::string> reason =
            AdmitRegistration(entry, clientIp, *m_store, m_settings.admission)) {
        return refuse(*reason);
    }
    const bool changesList = m_store->WouldChange(entry);
    if (std::optional<std::string> reason = CheckReplyMemory(entry, changesList)) {
        return refuse(*reason);
    }
    if (changesList && !m_changeRate.TryTake(clientIp, now)) {
        return refuse("list changes from its source come faster than " +
                      std::to_string(m_settings.changesPerMinute) + " a minute");
    }
    const RegistryStore::Change change = m_store->Register(entry, now);
    LogExpired(change);
    switch (change.outcome) {
        case RegistryStore::Outcome::Added:
            Log("registered " + who + " (new; " + CountText(change.listed) + ")");
            break;
        case RegistryStore::Outcome::Renewed:
            Log("registered " + who + " (renewed; " + CountText(change.listed) + ")");
            break;
        case RegistryStore::Outcome::Full:
            Log("registration of " + who + " refused: the list is full (" +
                CountText(change.listed) + ")");
            break;
        default:
            // Unavailable: the store has said so once; nothing was written.
            return std::nullopt;
    }
    ArmStoreTimers();
    const ByteBuffer& listed = m_store->ListedBytes();
    CenterReply reply{
        EncodeCenterReplyHead(ScheduleAt(m_settings, now),
                              static_cast<uint32_t>(listed.Length() / kParlonEntrySize)),
        listed};
    m_heldReplies.Hold(reply.entries);
    return reply;
}

void CenterServer::OnReplyDone(const CenterReply& reply) {
    m_heldReplies.Release(reply.entries);
}

std::optional<std::string> CenterServer::CheckReplyMemory(const ParlonEntry& entry,
                                                          bool changesList) const {
    // A change makes a new encoding, one entry longer when the entry is new; otherwise the
    // reply shares the encoding that replies may already hold.
    size_t cost = 0;
    if (changesList) {
        const size_t entries =
            m_store->ListedCount() + (m_store->IsListed(entry.Address()) ? 0 : 1);
        cost = std::min(entries, m_settings.maxEntries) * kParlonEntrySize;
    } else {
        cost = m_heldReplies.CostOf(m_store->ListedBytes());
    }
    if (m_heldReplies.HeldBytes() + cost <= m_settings.maxHeldReplyBytes) {
        return std::nullopt;
    }
    return "replies not yet taken hold " + std::to_string(m_heldReplies.HeldBytes()) +
           " bytes, and this one would need " + std::to_string(cost) + " more";
}

void CenterServer::OnSignOff(const PeerAddress& address, uint32_t clientIp) {
    if (std::optional<std::string> reason = AdmitSignOff(address, clientIp, m_settings.admission)) {
        Log("sign-off of " + EndpointText(address) + " refused: " + *reason);
        return;
    }
    const RegistryStore::Change change = m_store->SignOff(address);
    if (change.outcome == RegistryStore::Outcome::SignedOff) {
        Log("signed off " + EndpointText(address) + " (" + CountText(change.listed) + ")");
    } else if (change.outcome == RegistryStore::Outcome::NotListed) {
        Log("sign-off of " + EndpointText(address) + ", which is not registered");
    } else {
        Log("sign-off of " + EndpointText(address) + " lost: the store is unreachable");
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
    const PeerAddress source = ToPeerAddress(peer);
    const bool behindProxies = !m_settings.proxies.empty();
    const bool fromProxy = std::find(m_settings.proxies.begin(), m_settings.proxies.end(),
                                     source.ip) != m_settings.proxies.end();
    if (behindProxies && !fromProxy) {
        Log("refused connection from " + EndpointText(source) +
            ": not one of the proxies the center takes");
        std::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_send, ignored);
        return;  // the socket closes as it goes out of scope
    }
    std::optional<ConnectionsPerSource::Slot> sourceSlot;
    if (!fromProxy) {
        sourceSlot = m_connectionsPerSource.TryOpen(source.ip);
        if (!sourceSlot) {
            Log("refused connection from " + EndpointText(source) +
                ": too many connections from its address (" +
                std::to_string(m_settings.maxConnectionsPerSource) + " open)");
            return;  // the socket closes as it goes out of scope
        }
    }
    CenterExchangeOwner& owner = *this;  // the base is private: converted here, where it is known
    auto exchange = std::make_shared<CenterExchange>(
        owner, std::move(socket), peer, std::move(slot), std::move(sourceSlot),
        CenterExchange::Deadlines{std::chrono::milliseconds(m_settings.firstByteDeadline),
                                  std::chrono::milliseconds(m_settings.requestDeadline)},
        behindProxies);
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

void CenterServer::LogExpired(const RegistryStore::Change& change) {
    for (const ParlonEntry& entry : change.expired) {
        Log("expired " + EndpointText(entry.Address()) + " " + PrintableNickname(entry) + " (" +
            CountText(change.listed) + ")");
    }
}

void CenterServer::ArmStoreTimers() {
    ArmStoreTimer(m_expiryTimer, m_expiryArmed, m_store->NextExpiry());
    ArmStoreTimer(m_batchTimer, m_batchArmed, m_store->NextDeferredWrite());
}

void CenterServer::ArmStoreTimer(asio::steady_timer& timer, bool& armed,
                                 std::optional<Millis> due) {
    // Renewals only move expiries later, and a batch only becomes due later while one waits,
    // so a timer armed for an earlier moment is still right: it runs DropExpired (which writes
    // the batch and drops what has expired, whichever is due) and arms itself again.
    if (armed || m_closed || !due) {
        return;
    }
    armed = true;
    timer.expires_after(std::max(*due - Now(), Millis(0)));
    timer.async_wait([this, &timer, &armed](std::error_code error) {
        armed = false;
        if (error) {
            return;
        }
        const RegistryStore::Change change = m_store->DropExpired(Now());
        LogExpired(change);
        if (change.outcome == RegistryStore::Outcome::Unavailable) {
            ArmStoreTimer(timer, armed, Now() + kSweepRetryDelay);
            return;
        }
        ArmStoreTimers();
    });
}

CenterServer::Millis CenterServer::Now() const {
    return m_store->Now();
}

}  // namespace parlon
