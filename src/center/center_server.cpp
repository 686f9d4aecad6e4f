#include "center/center_server.h"

#include <algorithm>
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
#include "center/registration_admission.h"
#include "net/asio_endpoint.h"
#include "net/packet.h"
#include "net/wire_format.h"

namespace parlon {

using asio::ip::tcp;

namespace {

// A nickname as it may go into a log line: it comes from the network, so bytes that are not
// printable ASCII are shown as '?'.
std::string PrintableNickname(const ParlonEntry& entry) {
    std::string text(entry.NicknameText());
    for (char& c : text) {
        if (c < 0x20 || c > 0x7E) {
            c = '?';
        }
    }
    return "\"" + text + "\"";
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
    CenterExchange(CenterServer& server, tcp::socket socket, const tcp::endpoint& peer,
                   ConnectionsPerSource::Slot slot)
        : m_server(server),
          m_socket(std::move(socket)),
          m_deadline(m_socket.get_executor()),
          m_peer(peer),
          m_slot(std::move(slot)) {
        m_server.m_exchanges.insert(this);
    }
    ~CenterExchange() {
        if (m_reply) {
            m_server.OnReplyDone(*m_reply);
        }
        m_server.OnExchangeEnded(this);
    }

    void Start() {
        // A parlon writes its request as soon as it is connected: a connection that stays
        // silent gives its slot back after the first-byte deadline, not the whole one.
        m_started = std::chrono::steady_clock::now();
        ArmDeadline(std::chrono::milliseconds(m_server.m_settings.firstByteDeadline));
        m_socket.async_wait(
            tcp::socket::wait_read,
            [self = shared_from_this()](std::error_code error) { self->OnReadable(error); });
    }

    // The server is closing: end this connection without a word.
    void Abort() {
        m_aborted = true;
        m_deadline.cancel();
        CloseSocket();
    }

  private:
    // Closes the socket at `after` from the start of the connection (which ends every pending
    // operation with an error), unless the timer is set again or cancelled first.
    void ArmDeadline(std::chrono::milliseconds after) {
        m_deadline.expires_at(m_started + after);
        m_deadline.async_wait([self = shared_from_this()](std::error_code error) {
            if (!error) {
                self->m_timedOut = true;
                self->CloseSocket();
            }
        });
    }

    void OnReadable(std::error_code error) {
        if (error) {
            Fail(error, 0);
            return;
        }
        m_firstByteSeen = true;
        ArmDeadline(std::chrono::milliseconds(m_server.m_settings.requestDeadline));
        // One read takes the whole request when it has already arrived, as it usually has.
        asio::async_read(m_socket, asio::buffer(m_request),
                         asio::transfer_at_least(kFrameHeaderSize),
                         [self = shared_from_this()](std::error_code readError, size_t read) {
                             self->OnHeader(readError, read);
                         });
    }

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
            m_reply = m_server.OnRegistration(request.entry, SourceIp());
            if (!m_reply) {
                End();  // refused: closed without a reply
                return;
            }
            const std::array<asio::const_buffer, 2> pieces = {
                asio::buffer(m_reply->head.Data(), m_reply->head.Length()),
                asio::buffer(m_reply->entries.Data(), m_reply->entries.Length())};
            asio::async_write(m_socket, pieces,
                              [self = shared_from_this()](std::error_code writeError, size_t) {
                                  self->OnReplyWritten(writeError);
                              });
            return;
        }
        if (request.kind == CenterRequest::Kind::SignOff) {
            m_server.OnSignOff(request.address, SourceIp());
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
        if (m_timedOut && !m_firstByteSeen) {
            Refuse("no first byte within " + std::to_string(m_server.m_settings.firstByteDeadline) +
                   " ms");
        } else if (m_timedOut) {
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
    uint32_t SourceIp() const { return ToPeerAddress(m_peer).ip; }

    void CloseSocket() {
        std::error_code ignored;
        m_socket.close(ignored);
    }

    CenterServer& m_server;
    tcp::socket m_socket;
    asio::steady_timer m_deadline;
    const tcp::endpoint m_peer;
    const ConnectionsPerSource::Slot m_slot;
    std::chrono::steady_clock::time_point m_started;
    std::array<uint8_t, kRegistrationFrameSize> m_request{};  // the longest request
    std::optional<CenterServer::Reply> m_reply;               // held until the exchange ends
    bool m_firstByteSeen = false;
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
      m_expiryTimer(io),
      m_connectionsPerSource(settings.maxConnectionsPerSource),
      m_changeRate(static_cast<uint32_t>(settings.admission.maxPerAddress),
                   settings.changesPerMinute) {
    assert(settings.switchPeriod > 0 && settings.expire > 0);
    assert(settings.maxHeldReplyBytes >=
           kReplyEntriesOffset + settings.maxEntries * kParlonEntrySize);
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

std::optional<CenterServer::Reply> CenterServer::OnRegistration(const ParlonEntry& entry,
                                                                uint32_t sourceIp) {
    SweepExpired();
    const Millis now = Now();
    const std::string who = EndpointText(entry.Address()) + " " + PrintableNickname(entry);
    const auto refuse = [&](const std::string& reason) {
        Log("registration of " + who + " from " + PeerAddress{sourceIp, 0}.IpText() +
            " refused: " + reason);
        return std::nullopt;
    };
    if (std::optional<std::string> reason =
            AdmitRegistration(entry, sourceIp, m_registry, m_settings.admission)) {
        return refuse(*reason);
    }
    if (std::optional<std::string> reason = CheckReplyMemory(entry)) {
        return refuse(*reason);
    }
    if (m_registry.WouldChange(entry) && !m_changeRate.TryTake(sourceIp, now)) {
        return refuse("list changes from its source come faster than " +
                      std::to_string(m_settings.changesPerMinute) + " a minute");
    }
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
    Reply reply{EncodeCenterReplyHead(ScheduleAt(m_settings, now),
                                      static_cast<uint32_t>(m_registry.Size())),
                ListedBytes()};
    m_heldReplies.Hold(reply.entries);
    return reply;
}

void CenterServer::OnReplyDone(const Reply& reply) {
    m_heldReplies.Release(reply.entries);
}

std::optional<std::string> CenterServer::CheckReplyMemory(const ParlonEntry& entry) const {
    size_t cost = 0;
    if (m_registry.WouldChange(entry) || m_listedRevision != m_registry.Revision()) {
        // A new encoding, one entry longer when the entry is new.
        const size_t entries = m_registry.Size() + (m_registry.IsListed(entry.Address()) ? 0 : 1);
        cost = std::min(entries, m_settings.maxEntries) * kParlonEntrySize;
    } else {
        cost = m_heldReplies.CostOf(m_listedBytes);
    }
    if (m_heldReplies.HeldBytes() + cost <= m_settings.maxHeldReplyBytes) {
        return std::nullopt;
    }
    return "replies not yet taken hold " + std::to_string(m_heldReplies.HeldBytes()) +
           " bytes, and this one would need " + std::to_string(cost) + " more";
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

void CenterServer::OnSignOff(const PeerAddress& address, uint32_t sourceIp) {
    if (std::optional<std::string> reason = AdmitSignOff(address, sourceIp, m_settings.admission)) {
        Log("sign-off of " + EndpointText(address) + " refused: " + *reason);
        return;
    }
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
    const PeerAddress source = ToPeerAddress(m_acceptedFrom);
    const bool roomLeft = m_exchanges.size() < m_settings.maxConnections;
    std::optional<ConnectionsPerSource::Slot> slot;
    if (roomLeft) {
        slot = m_connectionsPerSource.TryOpen(source.ip);
    }
    if (slot) {
        std::make_shared<CenterExchange>(*this, std::move(socket), m_acceptedFrom, std::move(*slot))
            ->Start();
    } else {
        Log("refused connection from " + EndpointText(source) + ": " +
            (roomLeft ? "too many connections from its address (" +
                            std::to_string(m_settings.maxConnectionsPerSource) + " open)"
                      : "too many connections (" + std::to_string(m_exchanges.size()) + " open)"));
        std::error_code ignored;
        socket.close(ignored);
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
