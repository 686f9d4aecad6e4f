// CenterServer: the center's network side. Accepts connections on one endpoint, reads one
// Registration or SignOff frame from each, answers a Registration with the schedule and the
// list and then closes, and keeps its CenterRegistry up to date, expiry included.
//
// Every handler runs on the io_context given at construction, so one thread running that
// context serves every connection; a slow or silent client holds only its own connection,
// which its deadlines end. Each event (registration, sign-off, expiry, refused connection or
// request) goes to the log sink as one line.
//
// Bounds against crowds: connections in all and per source address; a first-byte deadline
// beside the whole-request deadline; admission of each registration (AdmitRegistration); a
// rate of list changes per source; and the bytes that replies not yet written keep alive.
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
#include <optional>
#include <string>
#include <system_error>
#include <unordered_set>

#include "center/center_registry.h"
#include "center/center_settings.h"
#include "center/change_rate_limit.h"
#include "center/held_replies.h"
#include "common/byte_buffer.h"
#include "net/connections_per_source.h"

namespace parlon {

class CenterExchange;

class CenterServer {
  public:
    CenterServer(asio::io_context& io, const CenterSettings& settings, CenterLogSink log);
    CenterServer(const CenterServer&) = delete;
    CenterServer& operator=(const CenterServer&) = delete;
    ~CenterServer();

    // Binds and listens on `endpoint` (port 0 takes a free port) and starts accepting.
    [[nodiscard]] std::error_code Listen(const asio::ip::tcp::endpoint& endpoint);
    // The port listened on, once Listen has succeeded.
    uint16_t Port() const noexcept { return m_port; }

    // Stops accepting, closes every open connection and stops the expiry timer; the context
    // then runs out of work.
    void Close();

  private:
    friend class CenterExchange;
    using Millis = CenterRegistry::Millis;

    // A reply in two pieces, written with one gather write: the head (magic, type, schedule,
    // count) made for this reply, and the entries shared by every reply until the list changes.
    struct Reply {
        ByteBuffer head;
        ByteBuffer entries;
    };

    // For CenterExchange: one complete request each, from `sourceIp`. A registration that is
    // refused gets no reply (nullopt); an admitted one's entries stay counted in
    // m_heldReplies until the exchange calls OnReplyDone.
    std::optional<Reply> OnRegistration(const ParlonEntry& entry, uint32_t sourceIp);
    void OnReplyDone(const Reply& reply);
    void OnSignOff(const PeerAddress& address, uint32_t sourceIp);
    void OnExchangeEnded(CenterExchange* exchange);
    void Log(const std::string& text);

    void AcceptNext();
    void OnAccepted(std::error_code error, asio::ip::tcp::socket socket);
    // Drops and logs the expired entries; arms the expiry timer for the next one.
    void SweepExpired();
    void ArmExpiryTimer();
    Millis Now() const;
    // Why serving `entry` now would take the held reply bytes past their bound, if it would.
    std::optional<std::string> CheckReplyMemory(const ParlonEntry& entry) const;
    // The registry's entries as reply bytes, copied only when the list has changed.
    const ByteBuffer& ListedBytes();

    const CenterSettings m_settings;
    const CenterLogSink m_log;
    const std::chrono::steady_clock::time_point m_start;
    CenterRegistry m_registry;
    asio::ip::tcp::acceptor m_acceptor;
    asio::ip::tcp::endpoint m_acceptedFrom;  // filled by the pending accept
    asio::steady_timer m_acceptRetry;        // after an accept error other than a lost client
    asio::steady_timer m_expiryTimer;
    bool m_expiryArmed = false;
    bool m_closed = false;
    uint16_t m_port = 0;
    std::unordered_set<CenterExchange*> m_exchanges;  // the open connections
    ConnectionsPerSource m_connectionsPerSource;
    ChangeRateLimit m_changeRate;
    HeldReplies m_heldReplies;
    ByteBuffer m_listedBytes;  // ListedBytes() at m_listedRevision
    std::optional<uint64_t> m_listedRevision;
};

}  // namespace parlon
