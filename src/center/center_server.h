// CenterServer: the center's network side. Accepts connections on one endpoint, reads one
// Registration or SignOff frame from each (after a PROXY header when the settings name
// proxies), answers a Registration with the schedule and the list and then closes, and keeps
// its RegistryStore up to date, expiry and the store's batched writes included.
//
// Every handler runs on the io_context given at construction, so one thread running that
// context serves every connection; a slow or silent client holds only its own connection,
// which its deadlines end. Each event (registration, sign-off, expiry, refused connection or
// request) goes to the log sink as one line. Connections are accepted by a ConnectionAcceptor:
// a shortage of descriptors or memory pauses accepting, any other accept error is logged and
// closes the server, which then tells its owner.
//
// Bounds against crowds: connections in all (the acceptor) and per source address; a
// first-byte deadline beside the whole-request deadline; admission of each registration
// (AdmitRegistration, asked of the store); a rate of list changes per source; and the bytes
// that replies not yet written keep alive. They hold whatever store keeps the list. Behind
// proxies every connection comes from a proxy, so the bound per source address does not apply
// to them; admission and the change rate judge the client the proxy names.
//
// The io_context must outlive the server. Each open connection refers to the server until its
// last handler has run, so after Close() the context must run until it is out of work before
// the server is destroyed (CenterThread and parlon-center do exactly that).
//
// THREAD SAFETY: construction and Listen before the context runs; Close and everything else on
// the thread that runs the context.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_set>

#include "center/center_exchange.h"
#include "center/center_log_sink.h"
#include "center/center_settings.h"
#include "center/change_rate_limit.h"
#include "center/held_replies.h"
#include "center/registry_store.h"
#include "common/byte_buffer.h"
#include "net/connection_acceptor.h"
#include "net/connections_per_source.h"

namespace parlon {

class CenterServer final : private CenterExchangeOwner {
  public:
    // Keeps its list in `store`, or in memory when `store` is null. `onAcceptingFailed`, when
    // given, is called on the context's thread once accepting has failed for good and the
    // server has closed itself.
    CenterServer(asio::io_context& io, const CenterSettings& settings, CenterLogSink log,
                 std::unique_ptr<RegistryStore> store = nullptr,
                 std::function<void()> onAcceptingFailed = {});
    CenterServer(const CenterServer&) = delete;
    CenterServer& operator=(const CenterServer&) = delete;
    ~CenterServer();

    // Binds and listens on `endpoint` (port 0 takes a free port) and starts accepting.
    [[nodiscard]] std::error_code Listen(const asio::ip::tcp::endpoint& endpoint);
    // The port listened on, once Listen has succeeded.
    uint16_t Port() const noexcept { return m_acceptor.Port(); }

    // Stops accepting, closes every open connection and stops the expiry timer; the context
    // then runs out of work.
    void Close();

  private:
    using Millis = RegistryStore::Millis;

    // CenterExchangeOwner, for the exchanges this server starts.
    std::optional<CenterReply> OnRegistration(const ParlonEntry& entry, uint32_t clientIp) override;
    void OnReplyDone(const CenterReply& reply) override;
    void OnSignOff(const PeerAddress& address, uint32_t clientIp) override;
    void Log(const std::string& text) override;
    void OnExchangeEnded(CenterExchange& exchange) override;

    void OnAccepted(asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& peer,
                    ConnectionSlot slot);
    void OnAcceptingEnded(std::error_code error);
    // Logs the entries of `change.expired`, dropped by a change that left `change.listed`.
    void LogExpired(const RegistryStore::Change& change);
    // Arms the timers that run the store's DropExpired: one for the next expiry, one for the
    // renewals the store has put off.
    void ArmStoreTimers();
    void ArmStoreTimer(asio::steady_timer& timer, bool& armed, std::optional<Millis> due);
    Millis Now() const;
    // Why serving `entry` (which changes the list when `changesList`) now would take the held
    // reply bytes past their bound, if it would.
    std::optional<std::string> CheckReplyMemory(const ParlonEntry& entry, bool changesList) const;

    const CenterSettings m_settings;
    const CenterLogSink m_log;
    const std::function<void()> m_onAcceptingFailed;
    const std::unique_ptr<RegistryStore> m_store;
    ConnectionAcceptor m_acceptor;
    asio::steady_timer m_expiryTimer;
    bool m_expiryArmed = false;
    asio::steady_timer m_batchTimer;
    bool m_batchArmed = false;
    bool m_closed = false;
    std::unordered_set<CenterExchange*> m_exchanges;  // the open connections
    ConnectionsPerSource m_connectionsPerSource;
    ChangeRateLimit m_changeRate;
    HeldReplies m_heldReplies;
};

}  // namespace parlon
