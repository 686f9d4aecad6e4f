#include "net/peer_listener.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "net/asio_endpoint.h"
#include "net/connections_per_source.h"
#include "net/packet.h"
#include "net/read_to_end.h"
#include "net/wire_format.h"
#include "queue/guarded_queue.h"

namespace parlon {

namespace {

using asio::ip::tcp;

// One accepted connection: read to its end within the deadline and the size bound, then hand
// the payload over. Kept alive by the handlers of its pending operations; lives on the
// listener's thread only.
class PeerReception : public std::enable_shared_from_this<PeerReception> {
  public:
    // `openCount` counts the receptions alive, this one included while it lives; `slot` is its
    // place among the connections of its source.
    PeerReception(tcp::socket socket, GuardedQueue& queue, size_t& openCount,
                  ConnectionsPerSource::Slot slot)
        : m_socket(std::move(socket)),
          m_deadline(m_socket.get_executor()),
          m_queue(queue),
          m_openCount(openCount),
          m_slot(std::move(slot)) {
        ++m_openCount;
    }
    ~PeerReception() { --m_openCount; }
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
            m_queue.Push(std::move(*payload));
        }
    }

    tcp::socket m_socket;
    asio::steady_timer m_deadline;
    GuardedQueue& m_queue;
    size_t& m_openCount;
    const ConnectionsPerSource::Slot m_slot;
    std::vector<uint8_t> m_frame;
};

// After an accept error that a passing shortage explains, wait before the next attempt
// instead of spinning on the same error.
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

// Out of descriptors or memory: connections end at their deadlines and give them back.
bool IsPassingShortage(std::error_code error) {
    // Asio's system errors are of its own category, which std::errc does not match.
    return error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
           error == asio::error::no_memory ||
           error == std::error_code(ENFILE, asio::error::get_system_category());
}

// The PeerListener behind the interface: an acceptor and its io_context, run by one thread.
// The io_context and the acceptor are used by that thread only between Start and Stop; Stop
// joins the thread before it touches them.
class AsioPeerListener final : public PeerListener {
  public:
    AsioPeerListener(GuardedQueue& queue, Options options)
        : m_queue(queue),
          m_options(options),
          m_io(std::make_unique<asio::io_context>(1)),
          m_acceptor(std::make_unique<tcp::acceptor>(*m_io)),
          m_acceptRetry(std::make_unique<asio::steady_timer>(*m_io)),
          m_connectionsPerSource(options.maxConnectionsPerSource) {}

    ~AsioPeerListener() override { Stop(); }

    // Opens the listening socket on `own`'s address when it is one of this machine's, so
    // that the port stays closed on the other interfaces; else (an address that a router
    // forwards to this machine, or none) on every local address, where that traffic arrives.
    std::error_code Listen(const PeerAddress& own) {
        // Asio's system errors are of its own category, which std::errc does not match.
        const std::error_code notLocal(EADDRNOTAVAIL, asio::error::get_system_category());
        std::error_code error = own.ip != 0 ? Listen(ToEndpoint(own)) : notLocal;
        if (error == notLocal) {
            error = Listen(tcp::endpoint(asio::ip::address_v4::any(), own.port));
        }
        return error;
    }

  private:
    std::error_code Listen(const tcp::endpoint& endpoint) {
        std::error_code error;
        if (m_acceptor->is_open()) {
            m_acceptor->close(error);
        }
        m_acceptor->open(endpoint.protocol(), error);
        // Lets a restarted parlon take its port back while old connections linger in
        // TIME_WAIT. On Linux this does not allow binding a port that another socket listens
        // on, so a taken port still fails below.
        if (!error) {
            m_acceptor->set_option(tcp::acceptor::reuse_address(true), error);
        }
        if (!error) {
            m_acceptor->bind(endpoint, error);
        }
        if (!error) {
            m_acceptor->listen(asio::socket_base::max_listen_connections, error);
        }
        if (!error) {
            m_port = m_acceptor->local_endpoint(error).port();
        }
        return error;
    }

  public:
    void Run() {
        AcceptNext();
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
        m_acceptRetry.reset();
        m_io.reset();
    }

    uint16_t Port() const noexcept override { return m_port; }
    bool Failed() const noexcept override { return m_failed.load(std::memory_order_acquire); }
    std::string FailureText() const override {
        std::lock_guard lock(m_failureMutex);
        return m_failureText;
    }

  private:
    void AcceptNext() {
        m_acceptor->async_accept(m_acceptedFrom, [this](std::error_code error, tcp::socket socket) {
            OnAccepted(error, std::move(socket));
        });
    }

    void OnAccepted(std::error_code error, tcp::socket socket) {
        if (error == asio::error::connection_aborted) {
            AcceptNext();  // that client gave up before it was accepted; others still may come
            return;
        }
        if (IsPassingShortage(error)) {
            // The connection waits in the backlog meanwhile.
            m_acceptRetry->expires_after(kAcceptRetryDelay);
            m_acceptRetry->async_wait([this](std::error_code timerError) {
                if (!timerError) {
                    AcceptNext();
                }
            });
            return;
        }
        if (error) {
            // No more accepting: connections already accepted still finish, then the thread
            // runs out of work and ends.
            {
                std::lock_guard lock(m_failureMutex);
                m_failureText =
                    "accepting on port " + std::to_string(m_port) + " failed: " + error.message();
            }
            m_failed.store(true, std::memory_order_release);
            std::error_code ignored;
            m_acceptor->close(ignored);
            return;
        }
        std::optional<ConnectionsPerSource::Slot> slot;
        if (m_openConnections < m_options.maxConnections) {
            slot = m_connectionsPerSource.TryOpen(ToPeerAddress(m_acceptedFrom).ip);
        }
        if (slot) {
            std::make_shared<PeerReception>(std::move(socket), m_queue, m_openConnections,
                                            std::move(*slot))
                ->Start(m_options);
        } else {
            std::error_code ignored;
            socket.close(ignored);  // over a bound: the sender sees its connection end at once
        }
        AcceptNext();
    }

    GuardedQueue& m_queue;
    const Options m_options;
    std::unique_ptr<asio::io_context> m_io;             // null once stopped
    std::unique_ptr<tcp::acceptor> m_acceptor;          // destroyed before m_io
    std::unique_ptr<asio::steady_timer> m_acceptRetry;  // destroyed before m_io
    size_t m_openConnections = 0;  // PeerReceptions alive; the listener's thread only
    ConnectionsPerSource m_connectionsPerSource;  // the listener's thread only
    tcp::endpoint m_acceptedFrom;                 // filled by the pending accept
    std::thread m_thread;
    uint16_t m_port = 0;
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
