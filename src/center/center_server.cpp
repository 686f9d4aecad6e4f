#include "center/center_server.h"

#include <algorithm>
#include <array>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "center/center_request.h"
#include "center/center_schedule.h"
#include "center/memory_registry_store.h"
#include "center/proxy_header.h"
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

// After a sweep of expired entries that found the store unreachable, wait this long before the
// next one instead of trying again at once.
constexpr std::chrono::milliseconds kSweepRetryDelay{250};

}  // namespace

// One accepted connection: reads the PROXY header when the center sits behind proxies, then
// one request frame, all within the deadline; acts on it, answers a Registration, and closes. Kept
// alive by the handlers of its pending operations; listed in the server while it lives, so that
// Close() can end it.
class CenterExchange : public std::enable_shared_from_this<CenterExchange> {
  public:
    CenterExchange(CenterServer& server, tcp::socket socket, const tcp::endpoint& peer)
        : m_server(server),
          m_socket(std::move(socket)),
          m_deadline(m_socket.get_executor()),
          m_client(ToPeerAddress(peer)) {
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
        const std::vector<uint32_t>& proxies = m_server.m_settings.proxies;
        if (proxies.empty()) {
            ReadRequest(0);
        } else if (std::find(proxies.begin(), proxies.end(), m_client.ip) == proxies.end()) {
            Refuse("not one of the proxies the center takes");
        } else {
            m_proxyBytes.resize(kProxyHeaderMaxSize);
            ReadProxyBytes(0);
        }
    }

    // The server is closing: end this connection without a word.
    void Abort() {
        m_aborted = true;
        m_deadline.cancel();
        CloseSocket();
    }

  private:
    // The one address by which the center knows its client, in log lines and wherever it
    // judges a client: the connection's peer, or the client that a proxy's header names.
    const PeerAddress& ClientAddress() const { return m_client; }

    // `have` bytes of the PROXY header (and maybe more) are in m_proxyBytes.
    void ReadProxyBytes(size_t have) {
        m_socket.async_read_some(
            asio::buffer(m_proxyBytes.data() + have, m_proxyBytes.size() - have),
            [self = shared_from_this(), have](std::error_code error, size_t read) {
                self->OnProxyBytes(error, have + read);
            });
    }

    void OnProxyBytes(std::error_code error, size_t have) {
        if (error) {
            Fail(error, have);
            return;
        }
        const ProxyHeader header = ReadProxyHeader({m_proxyBytes.data(), have});
        switch (header.kind) {
            case ProxyHeader::Kind::Incomplete:
                assert(have < m_proxyBytes.size());
                ReadProxyBytes(have);
                return;
            case ProxyHeader::Kind::Refused:
                Refuse(header.reason);
                return;
            case ProxyHeader::Kind::Local:
                m_proxyCheck = true;
                break;
            case ProxyHeader::Kind::Proxied:
                m_client = header.client;
                break;
        }
        // What came after the header is the start of the request.
        const size_t rest = std::min(have - header.size, m_request.size());
        std::memcpy(m_request.data(), m_proxyBytes.data() + header.size, rest);
        m_proxyBytes = {};
        ReadRequest(rest);
    }

    // `have` bytes of the request are in m_request.
    void ReadRequest(size_t have) {
        if (have >= kFrameHeaderSize) {
            OnHeader({}, have);
            return;
        }
        // One read takes the whole request when it has already arrived, as it usually has.
        asio::async_read(m_socket, asio::buffer(m_request.data() + have, m_request.size() - have),
                         asio::transfer_at_least(kFrameHeaderSize - have),
                         [self = shared_from_this(), have](std::error_code error, size_t read) {
                             self->OnHeader(error, have + read);
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
            std::optional<CenterServer::Reply> reply = m_server.OnRegistration(request.entry);
            if (!reply) {
                End();  // no reply: the parlon's registration fails and it tries again later
                return;
            }
            m_reply = std::move(*reply);
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
        if (m_proxyCheck && read == 0 &&
            (error == asio::error::eof || error == asio::error::connection_reset)) {
            End();  // the proxy's health check: it only wanted to see the center accept
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

    std::string PeerText() const { return EndpointText(ClientAddress()); }

    void CloseSocket() {
        std::error_code ignored;
        m_socket.close(ignored);
    }

    CenterServer& m_server;
    tcp::socket m_socket;
    asio::steady_timer m_deadline;
    PeerAddress m_client;
    std::vector<uint8_t> m_proxyBytes;  // the PROXY header, while it is read
    bool m_proxyCheck = false;          // a proxy's own connection, announced as such
    std::array<uint8_t, kRegistrationFrameSize> m_request{};  // the longest request
    CenterServer::Reply m_reply;                              // held until written
    bool m_timedOut = false;
    bool m_aborted = false;
};

CenterServer::CenterServer(asio::io_context& io, const CenterSettings& settings, CenterLogSink log,
                           std::unique_ptr<RegistryStore> store)
    : m_settings(settings),
      m_log(std::move(log)),
      m_store(store != nullptr ? std::move(store)
                               : std::make_unique<MemoryRegistryStore>(Millis(settings.expire),
                                                                       settings.maxEntries)),
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

std::optional<CenterServer::Reply> CenterServer::OnRegistration(const ParlonEntry& entry) {
    const Millis now = Now();
    const RegistryStore::Change change = m_store->Register(entry, now);
    LogExpired(change);
    const std::string who = EndpointText(entry.Address()) + " " + PrintableNickname(entry);
    switch (change.outcome) {
        case RegistryStore::Outcome::Added:
            Log("registered " + who + " (new; " + CountText(change.listed) + ")");
            break;
        case RegistryStore::Outcome::Renewed:
            Log("registered " + who + " (renewed; " + CountText(change.listed) + ")");
            break;
        case RegistryStore::Outcome::Full:
            Log("registration of " + who + " refused: the list is full (" +
                CountText(change.listed) + ")");
            break;
        default:
            // Unavailable: the store has said so once; nothing was written.
            return std::nullopt;
    }
    ArmExpiryTimer();
    const ByteBuffer& listed = m_store->ListedBytes();
    return Reply{EncodeCenterReplyHead(ScheduleAt(m_settings, now),
                                       static_cast<uint32_t>(listed.Length() / kParlonEntrySize)),
                 listed};
}

void CenterServer::OnSignOff(const PeerAddress& address) {
    const RegistryStore::Change change = m_store->SignOff(address);
    if (change.outcome == RegistryStore::Outcome::SignedOff) {
        Log("signed off " + EndpointText(address) + " (" + CountText(change.listed) + ")");
    } else if (change.outcome == RegistryStore::Outcome::NotListed) {
        Log("sign-off of " + EndpointText(address) + ", which is not registered");
    } else {
        Log("sign-off of " + EndpointText(address) + " lost: the store is unreachable");
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

void CenterServer::LogExpired(const RegistryStore::Change& change) {
    for (const ParlonEntry& entry : change.expired) {
        Log("expired " + EndpointText(entry.Address()) + " " + PrintableNickname(entry) + " (" +
            CountText(change.listed) + ")");
    }
}

void CenterServer::ArmExpiryTimer() {
    // Renewals only move expiries later, so a timer armed for an earlier moment is still
    // right: it finds nothing to drop and arms itself again.
    const std::optional<Millis> next = m_store->NextExpiry();
    if (m_expiryArmed || m_closed || !next) {
        return;
    }
    m_expiryArmed = true;
    m_expiryTimer.expires_after(std::max(*next - Now(), Millis(0)));
    m_expiryTimer.async_wait([this](std::error_code error) {
        m_expiryArmed = false;
        if (error) {
            return;
        }
        const RegistryStore::Change change = m_store->DropExpired(Now());
        LogExpired(change);
        if (change.outcome != RegistryStore::Outcome::Unavailable) {
            ArmExpiryTimer();
            return;
        }
        m_expiryArmed = true;
        m_expiryTimer.expires_after(kSweepRetryDelay);
        m_expiryTimer.async_wait([this](std::error_code retryError) {
            m_expiryArmed = false;
            if (!retryError) {
                ArmExpiryTimer();
            }
        });
    });
}

CenterServer::Millis CenterServer::Now() const {
    return m_store->Now();
}

}  // namespace parlon
