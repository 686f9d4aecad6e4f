#include "center/center_server.h"

#include <array>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <cassert>
#include <cstdio>
#include <memory>
#include <string_view>
#include <utility>

#include "center/center_request.h"
#include "center/center_schedule.h"
#include "common/utf8_text.h"
#include "net/asio_endpoint.h"
#include "net/packet.h"
#include "net/wire_format.h"

namespace parlon {

using asio::ip::tcp;

namespace {

// A nickname as it may go into a log line: it comes from the network, so it is made one line.
std::string PrintableNickname(const ParlonEntry& entry) {
    std::string quoted = "\"";
    quoted += OneLineText(entry.NicknameText());
    quoted += '"';
    return quoted;
}

std::string CountText(size_t count) {
    return std::to_string(count) + " registered";
}

// After an accept error that is not the client's (out of descriptors, say), wait before the
// next attempt instead of spinning on the same error.
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

}  // namespace

// One accepted connection: reads one request frame within the deadline, acts on it, answers a
// Registration, and closes. Kept alive by the handlers of its pending operations; listed in
// the server while it lives, so that Close() can end it.
class CenterExchange : public std::enable_shared_from_this<CenterExchange> {
  public:
    CenterExchange(CenterServer& server, tcp::socket socket, const tcp::endpoint& peer)
        : m_server(server),
          m_socket(std::move(socket)),
          m_deadline(m_socket.get_executor()),
          m_peer(peer) {
        m_server.m_exchanges.insert(this);
    }
    ~CenterExchange() { m_server.OnExchangeEnded(this); }

    void Start() {
        m_deadline.expires_after(std::chrono::milliseconds(m_server.m_settings.requestDeadline));
        m_deadline.async_wait([self = shared_from_this()](std::error_code error) {
            if (!error) {
                self->m_timedOut = true;
                self->CloseSocket();
            }
        });
        // One read takes the whole request when it has already arrived, as it usually has.
        asio::async_read(m_socket, asio::buffer(m_request),
                         asio::transfer_at_least(kFrameHeaderSize),
                         [self = shared_from_this()](std::error_code error, size_t read) {
                             self->OnHeader(error, read);
                         });
    }

    // The server is closing: end this connection without a word.
    void Abort() {
        m_aborted = true;
        m_deadline.cancel();
        CloseSocket();
    }

  private:
    void OnHeader(std::error_code error, size_t read) {
        if (error) {
            Fail(error, read);
            return;
        }
        const CenterRequest request = ReadCenterRequest({m_request.data(), read});
        if (request.kind != CenterRequest::Kind::Incomplete) {
            OnRequest(request);
            return;
        }
        // The read took the whole header, so the type and with it the frame's length are known.
        assert(request.frameSize > read && request.frameSize <= m_request.size());
        asio::async_read(
            m_socket, asio::buffer(m_request.data() + read, request.frameSize - read),
            [self = shared_from_this(), read, frameSize = request.frameSize](
                std::error_code bodyError, size_t bodyRead) {
                if (bodyError) {
                    self->Fail(bodyError, read + bodyRead);
                } else {
                    self->OnRequest(ReadCenterRequest({self->m_request.data(), frameSize}));
                }
            });
    }

    // The request is whole, or refused.
    void OnRequest(const CenterRequest& request) {
        if (request.kind == CenterRequest::Kind::Registration) {
            m_reply = m_server.OnRegistration(request.entry);
            const std::array<asio::const_buffer, 2> pieces = {
                asio::buffer(m_reply.head.Data(), m_reply.head.Length()),
                asio::buffer(m_reply.entries.Data(), m_reply.entries.Length())};
            asio::async_write(m_socket, pieces,
                              [self = shared_from_this()](std::error_code writeError, size_t) {
                                  self->OnReplyWritten(writeError);
                              });
            return;
        }
        if (request.kind == CenterRequest::Kind::SignOff) {
            m_server.OnSignOff(request.address);
            End();
            return;
        }
        assert(request.kind == CenterRequest::Kind::Refused);
        Refuse(request.reason);
    }

    void OnReplyWritten(std::error_code error) {
        if (error && !m_aborted) {
            m_server.Log(
                "reply to " + PeerText() + " failed: " +
                (m_timedOut ? std::string("not taken within the deadline") : error.message()));
        }
        End();
    }

    // The read ended before the frame was whole.
    void Fail(std::error_code error, size_t read) {
        if (m_aborted) {
            return;
        }
        if (m_timedOut) {
            Refuse("no whole frame within " + std::to_string(m_server.m_settings.requestDeadline) +
                   " ms (" + std::to_string(read) + " bytes)");
        } else if (error == asio::error::eof) {
            Refuse("closed after " + std::to_string(read) + " bytes");
        } else {
            Refuse(error.message());
        }
    }

    void Refuse(const std::string& reason) {
        m_server.Log("refused connection from " + PeerText() + ": " + reason);
        End();
    }

    // Ends our side in order, so that the client reads the end of the reply, then closes.
    void End() {
        m_deadline.cancel();
        std::error_code ignored;
        m_socket.shutdown(tcp::socket::shutdown_send, ignored);
        CloseSocket();
    }

    std::string PeerText() const { return EndpointText(ToPeerAddress(m_peer)); }

    void CloseSocket() {
        std::error_code ignored;
        m_socket.close(ignored);
    }

    CenterServer& m_server;
    tcp::socket m_socket;
    asio::steady_timer m_deadline;
    const tcp::endpoint m_peer;
    std::array<uint8_t, kRegistrationFrameSize> m_request{};  // the longest request
    CenterServer::Reply m_reply;                              // held until written
    bool m_timedOut = false;
    bool m_aborted = false;
};

CenterServer::CenterServer(asio::io_context& io, const CenterSettings& settings, CenterLogSink log)
    : m_settings(settings),
      m_log(std::move(log)),
      m_start(std::chrono::steady_clock::now()),
      m_registry(Millis(settings.expire), settings.maxEntries),
      m_acceptor(io),
      m_acceptRetry(io),
      m_expiryTimer(io) {
    assert(settings.switchPeriod > 0 && settings.expire > 0);
}

CenterServer::~CenterServer() {
    assert(m_exchanges.empty());
}

std::error_code CenterServer::Listen(const tcp::endpoint& endpoint) {
    std::error_code error;
    m_acceptor.open(endpoint.protocol(), error);
    if (!error) {
        // A restarted center takes its port back while old connections sit in TIME_WAIT; a
        // port that another socket listens on still fails to bind on Linux.
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

void CenterServer::Close() {
    m_closed = true;
    std::error_code ignored;
    m_acceptor.close(ignored);
    m_acceptRetry.cancel();
    m_expiryTimer.cancel();
    for (CenterExchange* exchange : m_exchanges) {
        exchange->Abort();
    }
}

CenterServer::Reply CenterServer::OnRegistration(const ParlonEntry& entry) {
    SweepExpired();
    const Millis now = Now();
    const std::string who = EndpointText(entry.Address()) + " " + PrintableNickname(entry);
    switch (m_registry.Register(entry, now)) {
        case CenterRegistry::Outcome::Added:
            Log("registered " + who + " (new; " + CountText(m_registry.Size()) + ")");
            break;
        case CenterRegistry::Outcome::Renewed:
            Log("registered " + who + " (renewed; " + CountText(m_registry.Size()) + ")");
            break;
        case CenterRegistry::Outcome::Full:
            Log("registration of " + who + " refused: the list is full (" +
                CountText(m_registry.Size()) + ")");
            break;
    }
    ArmExpiryTimer();
    return {EncodeCenterReplyHead(ScheduleAt(m_settings, now),
                                  static_cast<uint32_t>(m_registry.Size())),
            ListedBytes()};
}

const ByteBuffer& CenterServer::ListedBytes() {
    if (m_listedRevision != m_registry.Revision()) {
        const std::vector<ParlonEntry>& entries = m_registry.Entries();
        m_listedBytes =
            ByteBuffer(entries.data(), static_cast<uint32_t>(entries.size() * kParlonEntrySize));
        m_listedRevision = m_registry.Revision();
    }
    return m_listedBytes;
}

void CenterServer::OnSignOff(const PeerAddress& address) {
    if (m_registry.SignOff(address)) {
        Log("signed off " + EndpointText(address) + " (" + CountText(m_registry.Size()) + ")");
    } else {
        Log("sign-off of " + EndpointText(address) + ", which is not registered");
    }
}

void CenterServer::OnExchangeEnded(CenterExchange* exchange) {
    m_exchanges.erase(exchange);
}

void CenterServer::Log(const std::string& text) {
    if (!m_log) {
        return;
    }
    char stamp[32];
    const auto now = Now().count();
    std::snprintf(stamp, sizeof stamp, "[%lld.%03lld] ", static_cast<long long>(now / 1000),
                  static_cast<long long>(now % 1000));
    m_log(stamp + text);
}

void CenterServer::AcceptNext() {
    m_acceptor.async_accept(m_acceptedFrom, [this](std::error_code error, tcp::socket socket) {
        OnAccepted(error, std::move(socket));
    });
}

void CenterServer::OnAccepted(std::error_code error, tcp::socket socket) {
    if (m_closed) {
        return;
    }
    if (error == asio::error::connection_aborted) {
        AcceptNext();
        return;
    }
    if (error) {
        Log("accepting failed: " + error.message());
        m_acceptRetry.expires_after(kAcceptRetryDelay);
        m_acceptRetry.async_wait([this](std::error_code timerError) {
            if (!timerError && !m_closed) {
                AcceptNext();
            }
        });
        return;
    }
    if (m_exchanges.size() >= m_settings.maxConnections) {
        Log("refused connection from " + EndpointText(ToPeerAddress(m_acceptedFrom)) +
            ": too many connections (" + std::to_string(m_exchanges.size()) + " open)");
        std::error_code ignored;
        socket.close(ignored);
    } else {
        std::make_shared<CenterExchange>(*this, std::move(socket), m_acceptedFrom)->Start();
    }
    AcceptNext();
}

void CenterServer::SweepExpired() {
    for (const ParlonEntry& entry : m_registry.DropExpired(Now())) {
        Log("expired " + EndpointText(entry.Address()) + " " + PrintableNickname(entry) + " (" +
            CountText(m_registry.Size()) + ")");
    }
}

void CenterServer::ArmExpiryTimer() {
    // Renewals only move expiries later, so a timer armed for an earlier moment is still
    // right: it finds nothing to drop and arms itself again.
    const std::optional<Millis> next = m_registry.NextExpiry();
    if (m_expiryArmed || m_closed || !next) {
        return;
    }
    m_expiryArmed = true;
    m_expiryTimer.expires_at(m_start + *next);
    m_expiryTimer.async_wait([this](std::error_code error) {
        m_expiryArmed = false;
        if (!error) {
            SweepExpired();
            ArmExpiryTimer();
        }
    });
}

CenterServer::Millis CenterServer::Now() const {
    return std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - m_start);
}

}  // namespace parlon
