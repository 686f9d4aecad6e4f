// CenterServer: the center's network side. Accepts connections on one endpoint, reads one
// Registration or SignOff frame from each (after a PROXY header when the settings name
// proxies), answers a Registration with the schedule and the list and then closes, and keeps
// its RegistryStore up to date, expiry included.
//
// Every handler runs on the io_context given at construction, so one thread running that
// context serves every connection; a slow or silent client holds only its own connection,
// which its deadline ends. Each event (registration, sign-off, expiry, refused connection)
// goes to the log sink as one line.
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
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_set>

#include "center/center_settings.h"
#include "center/registry_store.h"
#include "common/byte_buffer.h"

namespace parlon {

class CenterExchange;

class CenterServer {
  public:
    // Keeps its list in `store`, or in memory when `store` is null.
    CenterServer(asio::io_context& io, const CenterSettings& settings, CenterLogSink log,
                 std::unique_ptr<RegistryStore> store = nullptr);
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
    using Millis = RegistryStore::Millis;

    // A reply in two pieces, written with one gather write: the head (magic, type, schedule,
    // count) made for this reply, and the entries shared by every reply until the list changes.
    struct Reply {
        ByteBuffer head;
        ByteBuffer entries;
    };

    // For CenterExchange: one complete request each. No reply when the store cannot be reached.
    std::optional<Reply> OnRegistration(const ParlonEntry& entry);
    void OnSignOff(const PeerAddress& address);
    void OnExchangeEnded(CenterExchange* exchange);
    void Log(const std::string& text);

    void AcceptNext();
    void OnAccepted(std::error_code error, asio::ip::tcp::socket socket);
    // Logs the entries of `expired`, dropped by a change that left `listed` entries.
    void LogExpired(const RegistryStore::Change& change);
    void ArmExpiryTimer();
    Millis Now() const;

    const CenterSettings m_settings;
    const CenterLogSink m_log;
    const std::unique_ptr<RegistryStore> m_store;
    asio::ip::tcp::acceptor m_acceptor;
    asio::ip::tcp::endpoint m_acceptedFrom;  // filled by the pending accept
    asio::steady_timer m_acceptRetry;        // after an accept error other than a lost client
    asio::steady_timer m_expiryTimer;
    bool m_expiryArmed = false;
    bool m_closed = false;
    uint16_t m_port = 0;
    std::unordered_set<CenterExchange*> m_exchanges;  // the open connections
};

}  // namespace parlon
