// CenterExchange: one connection accepted by the center. Reads the PROXY header when the center
// sits behind proxies, then one request frame, all within the request deadline, the first byte
// within the shorter first-byte deadline; hands the request to its owner (the server), writes
// the reply to a Registration, and closes. A request that is refused, incomplete or too slow is
// logged and the connection closed without a word.
//
// Kept alive by the handlers of its pending operations, and holds its place under the
// acceptor's bound as long as it lives. The owner must outlive every exchange: each one tells
// the owner when it ends, from its destructor.
//
// THREAD SAFETY: everything on the thread that runs the socket's io_context.
#pragma once

#include <array>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "center/center_request.h"
#include "common/byte_buffer.h"
#include "common/wire_records.h"
#include "net/connection_acceptor.h"
#include "net/connections_per_source.h"
#include "net/wire_format.h"

namespace parlon {

class CenterExchange;

// A reply in two pieces, written with one gather write: the head (magic, type, schedule,
// count) made for this reply, and the entries shared by every reply until the list changes.
struct CenterReply {
    ByteBuffer head;
    ByteBuffer entries;
};

// What an exchange needs from the server it belongs to; called on the server's thread.
class CenterExchangeOwner {
  public:
    // One complete request each, from the client at `clientIp` (network order). No reply when
    // the registration is refused or the registry cannot be reached: the connection is closed
    // and the parlon tries again later. A reply given stays the exchange's until it hands it
    // back with OnReplyDone, written or not.
    virtual std::optional<CenterReply> OnRegistration(const ParlonEntry& entry,
                                                      uint32_t clientIp) = 0;
    virtual void OnReplyDone(const CenterReply& reply) = 0;
    virtual void OnSignOff(const PeerAddress& address, uint32_t clientIp) = 0;
    // One event, as a log line.
    virtual void Log(const std::string& text) = 0;
    // `exchange` is being destroyed.
    virtual void OnExchangeEnded(CenterExchange& exchange) = 0;

  protected:
    ~CenterExchangeOwner() = default;
};

class CenterExchange : public std::enable_shared_from_this<CenterExchange> {
  public:
    // The deadlines of one exchange, both counted from its start.
    struct Deadlines {
        std::chrono::milliseconds firstByte;
        std::chrono::milliseconds request;
    };

    // With `readsProxyHeader` the connection (from one of the center's proxies) begins with a
    // PROXY header that names the client.
    // `sourceSlot` is the connection's place under the bound per source address, if it takes
    // one.
    CenterExchange(CenterExchangeOwner& owner, asio::ip::tcp::socket socket,
                   const asio::ip::tcp::endpoint& peer, ConnectionSlot slot,
                   std::optional<ConnectionsPerSource::Slot> sourceSlot, Deadlines deadlines,
                   bool readsProxyHeader);
    CenterExchange(const CenterExchange&) = delete;
    CenterExchange& operator=(const CenterExchange&) = delete;
    ~CenterExchange();

    // Starts reading the request. REQUIRES: the exchange is held by a shared_ptr.
    void Start();

    // The server is closing: end this connection without a word.
    void Abort();

  private:
    // The one address by which the center knows its client, in log lines and wherever it
    // judges a client: the connection's peer, or the client that a proxy's header names.
    const PeerAddress& ClientAddress() const { return m_client; }

    // Closes the socket at `after` from the start of the exchange (which ends every pending
    // operation with an error), unless the timer is set again or cancelled first.
    void ArmDeadline(std::chrono::milliseconds after);
    // The first byte (or the end of the stream) has arrived: the request deadline runs.
    void OnReadable(std::error_code error);
    // `have` bytes of the PROXY header (and maybe more) are in m_proxyBytes.
    void ReadProxyBytes(size_t have);
    void OnProxyBytes(std::error_code error, size_t have);
    // `have` bytes of the request are in m_request.
    void ReadRequest(size_t have);
    void OnHeader(std::error_code error, size_t read);
    // The request is whole, or refused.
    void OnRequest(const CenterRequest& request);
    void OnReplyWritten(std::error_code error);
    // The read ended before the frame was whole.
    void Fail(std::error_code error, size_t read);
    void Refuse(const std::string& reason);
    // Ends our side in order, so that the client reads the end of the reply, then closes.
    void End();
    std::string PeerText() const;
    void CloseSocket();

    CenterExchangeOwner& m_owner;
    asio::ip::tcp::socket m_socket;
    const ConnectionSlot m_slot;
    const std::optional<ConnectionsPerSource::Slot> m_sourceSlot;
    const Deadlines m_deadlines;
    const bool m_readsProxyHeader;
    asio::steady_timer m_deadline;
    PeerAddress m_client;
    std::vector<uint8_t> m_proxyBytes;  // the PROXY header, while it is read
    bool m_proxyCheck = false;          // a proxy's own connection, announced as such
    std::array<uint8_t, kRegistrationFrameSize> m_request{};  // the longest request
    std::optional<CenterReply> m_reply;                       // held until the exchange ends
    std::chrono::steady_clock::time_point m_started;
    bool m_firstByteSeen = false;
    bool m_timedOut = false;
    bool m_aborted = false;
};

}  // namespace parlon
