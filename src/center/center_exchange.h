// CenterExchange: one connection accepted by the center. Reads one request frame within the
// request deadline, hands it to its owner (the server), writes the reply to a Registration,
// and closes. A request that is refused, incomplete or too slow is logged and the connection
// closed without a word.
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
#include <string>
#include <system_error>

#include "center/center_request.h"
#include "common/byte_buffer.h"
#include "common/wire_records.h"
#include "net/connection_acceptor.h"
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
    // One complete request each.
    virtual CenterReply OnRegistration(const ParlonEntry& entry) = 0;
    virtual void OnSignOff(const PeerAddress& address) = 0;
    // One event, as a log line.
    virtual void Log(const std::string& text) = 0;
    // `exchange` is being destroyed.
    virtual void OnExchangeEnded(CenterExchange& exchange) = 0;

  protected:
    ~CenterExchangeOwner() = default;
};

class CenterExchange : public std::enable_shared_from_this<CenterExchange> {
  public:
    CenterExchange(CenterExchangeOwner& owner, asio::ip::tcp::socket socket,
                   const asio::ip::tcp::endpoint& peer, ConnectionSlot slot,
                   std::chrono::milliseconds requestDeadline);
    CenterExchange(const CenterExchange&) = delete;
    CenterExchange& operator=(const CenterExchange&) = delete;
    ~CenterExchange();

    // Starts reading the request. REQUIRES: the exchange is held by a shared_ptr.
    void Start();

    // The server is closing: end this connection without a word.
    void Abort();

  private:
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
    const std::chrono::milliseconds m_requestDeadline;
    asio::steady_timer m_deadline;
    const asio::ip::tcp::endpoint m_peer;
    std::array<uint8_t, kRegistrationFrameSize> m_request{};  // the longest request
    CenterReply m_reply;                                      // held until written
    bool m_timedOut = false;
    bool m_aborted = false;
};

}  // namespace parlon
