#include "net/connection_acceptor.h"

#include <cerrno>
#include <chrono>
#include <utility>

namespace parlon {

using asio::ip::tcp;

namespace {

// How long a shortage pauses accepting before the next attempt, instead of spinning on the
// same error.
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

// Out of descriptors or memory: open connections end at their deadlines and give them back.
bool IsPassingShortage(std::error_code error) {
    // Asio's system errors are of its own category, which std::errc does not match.
    return error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
           error == asio::error::no_memory ||
           error == std::error_code(ENFILE, asio::error::get_system_category());
}

}  // namespace

ConnectionSlot::ConnectionSlot(std::shared_ptr<size_t> openCount)
    : m_openCount(std::move(openCount)) {
    ++*m_openCount;
}

ConnectionSlot::~ConnectionSlot() {
    if (m_openCount != nullptr) {
        --*m_openCount;
    }
}

ConnectionAcceptor::ConnectionAcceptor(asio::io_context& io, size_t maxConnections,
                                       ConnectionAcceptorEvents events)
    : m_maxConnections(maxConnections),
      m_events(std::move(events)),
      m_acceptor(io),
      m_acceptRetry(io),
      m_openCount(std::make_shared<size_t>(0)) {}

std::error_code ConnectionAcceptor::Listen(const tcp::endpoint& endpoint) {
    std::error_code error;
    m_acceptor.open(endpoint.protocol(), error);
    // Lets a restarted program take its port back while old connections linger in TIME_WAIT.
    // On Linux this does not allow binding a port that another socket listens on, so a taken
    // port still fails below.
    if (!error) {
        m_acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    }
    if (!error) {
        m_acceptor.bind(endpoint, error);
    }
    if (!error) {
        m_acceptor.listen(asio::socket_base::max_listen_connections, error);
    }
    if (!error) {
        m_port = m_acceptor.local_endpoint(error).port();
    }
    if (error) {
        std::error_code ignored;
        m_acceptor.close(ignored);
        return error;
    }
    AcceptNext();
    return {};
}

void ConnectionAcceptor::Close() {
    m_closed = true;
    std::error_code ignored;
    m_acceptor.close(ignored);
    m_acceptRetry.cancel();
}

void ConnectionAcceptor::AcceptNext() {
    m_acceptor.async_accept(m_acceptedFrom, [this](std::error_code error, tcp::socket socket) {
        OnAccepted(error, std::move(socket));
    });
}

void ConnectionAcceptor::OnAccepted(std::error_code error, tcp::socket socket) {
    if (m_closed) {
        return;  // the accept that Close() cancelled
    }
    if (error == asio::error::connection_aborted) {
        AcceptNext();  // that client gave up before it was accepted; others still may come
        return;
    }
    if (IsPassingShortage(error)) {
        if (m_events.paused) {
            m_events.paused(error);
        }
        m_acceptRetry.expires_after(kAcceptRetryDelay);
        m_acceptRetry.async_wait([this](std::error_code timerError) {
            if (!timerError && !m_closed) {
                AcceptNext();
            }
        });
        return;
    }
    if (error) {
        Close();
        if (m_events.ended) {
            m_events.ended(error);
        }
        return;
    }
    if (*m_openCount >= m_maxConnections) {
        if (m_events.refused) {
            m_events.refused(m_acceptedFrom, *m_openCount);
        }
        std::error_code ignored;
        socket.close(ignored);  // over the bound: the client sees its connection end at once
    } else {
        m_events.accepted(std::move(socket), m_acceptedFrom, ConnectionSlot(m_openCount));
    }
    if (!m_closed) {
        AcceptNext();
    }
}

}  // namespace parlon
