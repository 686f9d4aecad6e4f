#include "center/center_exchange.h"

#include <algorithm>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <cassert>
#include <cstring>
#include <utility>

#include "center/proxy_header.h"
#include "net/asio_endpoint.h"

namespace parlon {

using asio::ip::tcp;

CenterExchange::CenterExchange(CenterExchangeOwner& owner, tcp::socket socket,
                               const tcp::endpoint& peer, ConnectionSlot slot,
                               std::optional<ConnectionsPerSource::Slot> sourceSlot,
                               Deadlines deadlines, bool readsProxyHeader)
    : m_owner(owner),
      m_socket(std::move(socket)),
      m_slot(std::move(slot)),
      m_sourceSlot(std::move(sourceSlot)),
      m_deadlines(deadlines),
      m_readsProxyHeader(readsProxyHeader),
      m_deadline(m_socket.get_executor()),
      m_client(ToPeerAddress(peer)) {}

CenterExchange::~CenterExchange() {
    if (m_reply) {
        m_owner.OnReplyDone(*m_reply);
    }
    m_owner.OnExchangeEnded(*this);
}

void CenterExchange::Start() {
    // A parlon (or its proxy) writes as soon as it is connected: a connection that stays
    // silent gives its slot back after the first-byte deadline, not the whole one.
    m_started = std::chrono::steady_clock::now();
    ArmDeadline(m_deadlines.firstByte);
    m_socket.async_wait(tcp::socket::wait_read, [self = shared_from_this()](std::error_code error) {
        self->OnReadable(error);
    });
}

void CenterExchange::ArmDeadline(std::chrono::milliseconds after) {
    m_deadline.expires_at(m_started + after);
    m_deadline.async_wait([self = shared_from_this()](std::error_code error) {
        if (!error) {
            self->m_timedOut = true;
            self->CloseSocket();
        }
    });
}

void CenterExchange::OnReadable(std::error_code error) {
    if (error) {
        Fail(error, 0);
        return;
    }
    m_firstByteSeen = true;
    ArmDeadline(m_deadlines.request);
    if (!m_readsProxyHeader) {
        ReadRequest(0);
    } else {
        m_proxyBytes.resize(kProxyHeaderMaxSize);
        ReadProxyBytes(0);
    }
}

void CenterExchange::ReadProxyBytes(size_t have) {
    m_socket.async_read_some(asio::buffer(m_proxyBytes.data() + have, m_proxyBytes.size() - have),
                             [self = shared_from_this(), have](std::error_code error, size_t read) {
                                 self->OnProxyBytes(error, have + read);
                             });
}

void CenterExchange::OnProxyBytes(std::error_code error, size_t have) {
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

void CenterExchange::ReadRequest(size_t have) {
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

void CenterExchange::Abort() {
    m_aborted = true;
    m_deadline.cancel();
    CloseSocket();
}

void CenterExchange::OnHeader(std::error_code error, size_t read) {
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
        [self = shared_from_this(), read, frameSize = request.frameSize](std::error_code bodyError,
                                                                         size_t bodyRead) {
            if (bodyError) {
                self->Fail(bodyError, read + bodyRead);
            } else {
                self->OnRequest(ReadCenterRequest({self->m_request.data(), frameSize}));
            }
        });
}

void CenterExchange::OnRequest(const CenterRequest& request) {
    if (request.kind == CenterRequest::Kind::Registration) {
        m_reply = m_owner.OnRegistration(request.entry, ClientAddress().ip);
        if (!m_reply) {
            End();  // no reply: the parlon's registration fails and it tries again later
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
        m_owner.OnSignOff(request.address, ClientAddress().ip);
        End();
        return;
    }
    assert(request.kind == CenterRequest::Kind::Refused);
    Refuse(request.reason);
}

void CenterExchange::OnReplyWritten(std::error_code error) {
    if (error && !m_aborted) {
        m_owner.Log("reply to " + PeerText() + " failed: " +
                    (m_timedOut ? std::string("not taken within the deadline") : error.message()));
    }
    End();
}

void CenterExchange::Fail(std::error_code error, size_t read) {
    if (m_aborted) {
        return;
    }
    if (m_proxyCheck && read == 0 &&
        (error == asio::error::eof || error == asio::error::connection_reset)) {
        End();  // the proxy's health check: it only wanted to see the center accept
    } else if (m_timedOut && !m_firstByteSeen) {
        Refuse("no first byte within " + std::to_string(m_deadlines.firstByte.count()) + " ms");
    } else if (m_timedOut) {
        Refuse("no whole frame within " + std::to_string(m_deadlines.request.count()) + " ms (" +
               std::to_string(read) + " bytes)");
    } else if (error == asio::error::eof) {
        Refuse("closed after " + std::to_string(read) + " bytes");
    } else {
        Refuse(error.message());
    }
}

void CenterExchange::Refuse(const std::string& reason) {
    m_owner.Log("refused connection from " + PeerText() + ": " + reason);
    End();
}

void CenterExchange::End() {
    m_deadline.cancel();
    std::error_code ignored;
    m_socket.shutdown(tcp::socket::shutdown_send, ignored);
    CloseSocket();
}

std::string CenterExchange::PeerText() const {
    return EndpointText(ClientAddress());
}

void CenterExchange::CloseSocket() {
    std::error_code ignored;
    m_socket.close(ignored);
}

}  // namespace parlon
