// ConnectionAcceptor: a listening TCP socket and its accept loop, shared by the peer listener
// and the center. Hands each accepted connection to its owner together with a ConnectionSlot,
// the connection's place under the bound on open connections; a connection beyond the bound is
// closed as soon as it is accepted, so a crowd holds at most the bound in descriptors.
//
// Accept errors follow one policy. A client that gave up before it was accepted is skipped.
// A shortage of descriptors or memory (EMFILE, ENFILE, ENOBUFS, ENOMEM) pauses accepting for a
// moment: open connections give theirs back as they end, and the waiting client stays in the
// backlog meanwhile. Any other error ends the acceptor for good: its socket is closed and the
// owner is told once. The bound on all open connections is applied here, for every owner alike;
// the bound per source address is the owner's (ConnectionsPerSource), since the center exempts
// the proxies it is told of and logs what it refuses.
//
// Every handler and every event runs on the io_context given at construction, which must
// outlive the acceptor. Slots may outlive the acceptor: a connection's handlers may still hold
// one when the acceptor is destroyed.
//
// THREAD SAFETY: construction and Listen before the context runs; Close, Port and destruction
// on the context's thread, or once no thread runs the context any more.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>

namespace parlon {

// One open connection's place under its acceptor's bound, given back when the slot is
// destroyed. Move-only; used on the acceptor's context thread only.
class ConnectionSlot {
  public:
    ConnectionSlot(ConnectionSlot&& other) noexcept = default;
    ConnectionSlot& operator=(ConnectionSlot&& other) = delete;
    ~ConnectionSlot();

  private:
    friend class ConnectionAcceptor;  // the only issuer of slots
    explicit ConnectionSlot(std::shared_ptr<size_t> openCount);

    std::shared_ptr<size_t> m_openCount;  // null once moved from
};

// What the acceptor tells its owner, on the context's thread. Only `accepted` is required.
struct ConnectionAcceptorEvents {
    // A connection within the bound, from `peer`: the owner serves it and keeps `slot` as long
    // as it does.
    std::function<void(asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& peer,
                       ConnectionSlot slot)>
        accepted{};
    // A connection from `peer` closed at once because `open` connections hold every slot.
    std::function<void(const asio::ip::tcp::endpoint& peer, size_t open)> refused{};
    // Accepting failed on a shortage; it is tried again shortly.
    std::function<void(std::error_code error)> paused{};
    // Accepting failed for good; the listening socket is closed. Connections already accepted
    // are their owner's and go on.
    std::function<void(std::error_code error)> ended{};
};

class ConnectionAcceptor {
  public:
    ConnectionAcceptor(asio::io_context& io, size_t maxConnections,
                       ConnectionAcceptorEvents events);
    ConnectionAcceptor(const ConnectionAcceptor&) = delete;
    ConnectionAcceptor& operator=(const ConnectionAcceptor&) = delete;

    // Binds and listens on `endpoint` (port 0 takes a free port) and starts accepting. On an
    // error nothing is left open.
    [[nodiscard]] std::error_code Listen(const asio::ip::tcp::endpoint& endpoint);
    // The port listened on, once Listen has succeeded.
    uint16_t Port() const noexcept { return m_port; }

    // Stops accepting and closes the listening socket, silently. Idempotent.
    void Close();

  private:
    void AcceptNext();
    void OnAccepted(std::error_code error, asio::ip::tcp::socket socket);

    const size_t m_maxConnections;
    const ConnectionAcceptorEvents m_events;
    asio::ip::tcp::acceptor m_acceptor;
    asio::ip::tcp::endpoint m_acceptedFrom;  // filled by the pending accept
    asio::steady_timer m_acceptRetry;        // armed while a shortage pauses accepting
    // Connections whose slots are alive; shared with the slots, which may outlive this object.
    const std::shared_ptr<size_t> m_openCount;
    uint16_t m_port = 0;
    bool m_closed = false;  // by Close() or by an error that ended accepting
};

}  // namespace parlon
