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
#include "net/packet.h"
#include "net/read_to_end.h"
#include "net/wire_format.h"
#include "queue/guarded_queue.h"

namespace parlon {

namespace {

using asio::ip::tcp;

// One accepted connection: read to its end within the deadline and the size bound, then hand
// the payload over with the address it came from. Kept alive by the handlers of its pending
// operations; lives on the listener's thread only.
class PeerReception : public std::enable_shared_from_this<PeerReception> {
  public:
    // `openCount` counts the receptions alive, this one included while it lives.
    PeerReception(tcp::socket socket, GuardedQueue& queue, size_t& openCount)
        : m_socket(std::move(socket)),
          m_deadline(m_socket.get_executor()),
          m_queue(queue),
          m_openCount(openCount) {
        ++m_openCount;
        std::error_code error;
        const tcp::endpoint remote = m_socket.remote_endpoint(error);
        if (!error && remote.address().is_v4()) {
            m_source = ToPeerAddress(remote);
        }
    }
    ~PeerReception() { --m_openCount; }
    PeerReception(const PeerReception&) = delete;
    PeerReception& operator=(const PeerReception&) = delete;

    void Start(std::chrono::milliseconds deadline) {
        m_deadline.expires_after(deadline);
        m_deadline.async_wait([self = shared_from_this()](std::error_code error) {
            if (!error) {
                // Too slow: closing the socket ends the read with an error, and the frame is
                // dropped.
                std::error_code ignored;
                self->m_socket.close(ignored);
            }
        });
        AsyncReadToEnd(m_socket, m_frame, kMaxPeerFrameSize,
                       [self = shared_from_this()](std::error_code error) { self->OnRead(error); });
    }

  private:
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
    asio::steady_timer m_deadline;
    GuardedQueue& m_queue;
    size_t& m_openCount;
    PeerAddress m_source;  // none when the peer's address could not be read
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
          m_acceptRetry(std::make_unique<asio::steady_timer>(*m_io)) {}

    ~AsioPeerListener() override { Stop(); }

    // Opens the listening socket on every local address.
    std::error_code Listen(uint16_t port) {
        const tcp::endpoint endpoint(asio::ip::address_v4::any(), port);
        std::error_code error;
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
        m_acceptor->async_accept([this](std::error_code error, tcp::socket socket) {
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
        if (m_openConnections >= m_options.maxConnections) {
            std::error_code ignored;
            socket.close(ignored);  // over the bound: the sender sees its connection end at once
        } else {
            std::make_shared<PeerReception>(std::move(socket), m_queue, m_openConnections)
                ->Start(m_options.connectionDeadline);
        }
        AcceptNext();
    }

    GuardedQueue& m_queue;
    const Options m_options;
    std::unique_ptr<asio::io_context> m_io;             // null once stopped
    std::unique_ptr<tcp::acceptor> m_acceptor;          // destroyed before m_io
    std::unique_ptr<asio::steady_timer> m_acceptRetry;  // destroyed before m_io
    size_t m_openConnections = 0;  // PeerReceptions alive; the listener's thread only
    std::thread m_thread;
    uint16_t m_port = 0;
    std::atomic<bool> m_failed{false};
    mutable std::mutex m_failureMutex;
    std::string m_failureText;  // guarded by m_failureMutex
};

}  // namespace

std::unique_ptr<PeerListener> PeerListener::Start(uint16_t port, GuardedQueue& queue,
                                                  std::string& error, Options options) {
    try {
        auto listener = std::make_unique<AsioPeerListener>(queue, options);
        if (const std::error_code failure = listener->Listen(port)) {
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
