#include "net/peer_listener.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "net/asio_endpoint.h"
#include "net/connection_acceptor.h"
#include "net/connections_per_source.h"
#include "net/packet.h"
#include "net/read_to_end.h"
#include "net/wire_format.h"
#include "queue/guarded_queue.h"

namespace parlon {

namespace {

using asio::ip::tcp;

// One accepted connection: read to its end within the deadline and the size bound, then hand
// the payload over with the address it came from. Kept alive by the handlers of its pending
// operations, and holds its place under the bound on open connections as long as it lives; on
// the listener's thread only.
class PeerReception : public std::enable_shared_from_this<PeerReception> {
  public:
    // `slot` is its place under the listener's bound, `sourceSlot` among the connections of
    // its source.
    PeerReception(tcp::socket socket, const tcp::endpoint& peer, ConnectionSlot slot,
                  ConnectionsPerSource::Slot sourceSlot, GuardedQueue& queue)
        : m_socket(std::move(socket)),
          m_slot(std::move(slot)),
          m_deadline(m_socket.get_executor()),
          m_queue(queue),
          m_source(peer.address().is_v4() ? ToPeerAddress(peer) : PeerAddress{}),
          m_sourceSlot(std::move(sourceSlot)) {}
    PeerReception(const PeerReception&) = delete;
    PeerReception& operator=(const PeerReception&) = delete;

    void Start(const PeerListenerOptions& options) {
        const auto started = std::chrono::steady_clock::now();
        ArmDeadline(started + options.firstByteDeadline);
        m_socket.async_wait(
            tcp::socket::wait_read, [self = shared_from_this(), started,
                                     whole = options.connectionDeadline](std::error_code error) {
                if (error) {
                    self->OnRead(error);  // silent past the first-byte deadline
                    return;
                }
                self->ArmDeadline(started + whole);
                AsyncReadToEnd(self->m_socket, self->m_frame, kMaxPeerFrameSize,
                               [self](std::error_code readError) { self->OnRead(readError); });
            });
    }

  private:
    // Too slow: closing the socket ends the pending wait or read with an error, and the frame
    // is dropped. Setting the timer again cancels the earlier wait.
    void ArmDeadline(std::chrono::steady_clock::time_point at) {
        m_deadline.expires_at(at);
        m_deadline.async_wait([self = shared_from_this()](std::error_code error) {
            if (!error) {
                std::error_code ignored;
                self->m_socket.close(ignored);
            }
        });
    }

    void OnRead(std::error_code error) {
        m_deadline.cancel();
        std::error_code ignored;
        m_socket.close(ignored);
        if (error) {
            return;  // reset, too slow or too large: nothing whole arrived
        }
        Packet frame{ByteBuffer(std::span<const uint8_t>(m_frame))};
        if (std::optional<ByteBuffer> payload = frame.Decode()) {
            m_queue.Push(std::move(*payload), m_source);  // a full queue drops it
        }
    }

    tcp::socket m_socket;
    const ConnectionSlot m_slot;
    asio::steady_timer m_deadline;
    GuardedQueue& m_queue;
    const PeerAddress m_source;  // none when the peer is not an IPv4 address
    const ConnectionsPerSource::Slot m_sourceSlot;
    std::vector<uint8_t> m_frame;
};

// The PeerListener behind the interface: a ConnectionAcceptor and its io_context, run by one
// thread. The io_context and the acceptor are used by that thread only between Start and Stop;
// Stop joins the thread before it touches them.
class AsioPeerListener final : public PeerListener {
  public:
    AsioPeerListener(GuardedQueue& queue, Options options)
        : m_queue(queue),
          m_options(options),
          m_connectionsPerSource(options.maxConnectionsPerSource),
          m_io(std::make_unique<asio::io_context>(1)),
          m_acceptor(std::make_unique<ConnectionAcceptor>(
              *m_io, options.maxConnections,
              ConnectionAcceptorEvents{
                  .accepted =
                      [this](tcp::socket socket, const tcp::endpoint& peer, ConnectionSlot slot) {
                          OnAccepted(std::move(socket), peer, std::move(slot));
                      },
                  .ended = [this](std::error_code error) { OnAcceptingEnded(error); }})) {}

    ~AsioPeerListener() override { Stop(); }

    // Opens the listening socket on `own`'s address when it is one of this machine's, so
    // that the port stays closed on the other interfaces; else (an address that a router
    // forwards to this machine, or none) on every local address, where that traffic arrives.
    std::error_code Listen(const PeerAddress& own) {
        // Asio's system errors are of its own category, which std::errc does not match.
        const std::error_code notLocal(EADDRNOTAVAIL, asio::error::get_system_category());
        std::error_code error = own.ip != 0 ? m_acceptor->Listen(ToEndpoint(own)) : notLocal;
        if (error == notLocal) {
            error = m_acceptor->Listen(tcp::endpoint(asio::ip::address_v4::any(), own.port));
        }
        m_port = m_acceptor->Port();
        return error;
    }

    void Run() {
        m_thread = std::thread([this] { m_io->run(); });
    }

    void Stop() override {
        if (m_io == nullptr) {
            return;
        }
        // After stop() the thread returns from run() without starting another handler, and
        // destroying the io_context destroys the pending handlers without calling them: no
        // Push can happen once the join has returned.
        m_io->stop();
        if (m_thread.joinable()) {
            m_thread.join();
        }
        m_acceptor.reset();
        m_io.reset();
    }

    uint16_t Port() const noexcept override { return m_port; }
    bool Failed() const noexcept override { return m_failed.load(std::memory_order_acquire); }
    std::string FailureText() const override {
        std::lock_guard lock(m_failureMutex);
        return m_failureText;
    }

  private:
    // Within the listener's bound: served when its source is within its own bound too, else
    // closed at once, so the sender sees its connection end.
    void OnAccepted(tcp::socket socket, const tcp::endpoint& peer, ConnectionSlot slot) {
        std::optional<ConnectionsPerSource::Slot> sourceSlot =
            m_connectionsPerSource.TryOpen(ToPeerAddress(peer).ip);
        if (!sourceSlot) {
            return;  // the socket closes as it goes out of scope
        }
        std::make_shared<PeerReception>(std::move(socket), peer, std::move(slot),
                                        std::move(*sourceSlot), m_queue)
            ->Start(m_options);
    }

    // No more accepting: connections already accepted still finish, then the thread runs out
    // of work and ends.
    void OnAcceptingEnded(std::error_code error) {
        {
            std::lock_guard lock(m_failureMutex);
            m_failureText =
                "accepting on port " + std::to_string(m_port) + " failed: " + error.message();
        }
        m_failed.store(true, std::memory_order_release);
    }

    GuardedQueue& m_queue;
    const Options m_options;
    ConnectionsPerSource m_connectionsPerSource;     // the listener's thread only
    std::unique_ptr<asio::io_context> m_io;          // null once stopped
    std::unique_ptr<ConnectionAcceptor> m_acceptor;  // destroyed before m_io
    std::thread m_thread;
    uint16_t m_port = 0;  // set before the thread starts
    std::atomic<bool> m_failed{false};
    mutable std::mutex m_failureMutex;
    std::string m_failureText;  // guarded by m_failureMutex
};

}  // namespace

std::unique_ptr<PeerListener> PeerListener::Start(const PeerAddress& own, GuardedQueue& queue,
                                                  std::string& error, Options options) {
    const uint16_t port = own.port;
    try {
        auto listener = std::make_unique<AsioPeerListener>(queue, options);
        if (const std::error_code failure = listener->Listen(own)) {
            error = "cannot listen on port " + std::to_string(port) + ": " + failure.message();
            return nullptr;
        }
        listener->Run();
        return listener;
    } catch (const std::system_error& failure) {
        // No descriptor for the io_context, or no thread.
        error = "cannot start listening on port " + std::to_string(port) + ": " + failure.what();
        return nullptr;
    }
}

}  // namespace parlon
