#include "scripted_server.h"

#include <asio/read.hpp>
#include <asio/write.hpp>
#include <system_error>

#include "net/asio_endpoint.h"

namespace parlon::test {

using asio::ip::tcp;

ScriptedServer::ScriptedServer(Script script)
    : m_script(std::move(script)),
      m_acceptor(m_io, tcp::endpoint(asio::ip::address_v4::loopback(), 0)),
      m_endpoint(m_acceptor.local_endpoint()),
      m_thread([this] { Serve(); }) {}

ScriptedServer::~ScriptedServer() {
    // The thread may be blocked in accept: one connection of our own wakes it.
    m_stopping = true;
    try {
        asio::io_context io;
        tcp::socket wake(io);
        wake.connect(m_endpoint);
    } catch (const std::system_error&) {
    }
    m_thread.join();
}

PeerAddress ScriptedServer::Address() const {
    return ToPeerAddress(m_endpoint);
}

void ScriptedServer::Serve() {
    while (true) {
        tcp::socket socket(m_io);
        std::error_code error;
        m_acceptor.accept(socket, error);
        if (error || m_stopping) {
            return;
        }
        try {
            m_script(socket);
        } catch (const std::system_error&) {
        }
        ++m_served;
    }
}

void Captures::Put(std::vector<uint8_t> bytes) {
    {
        std::lock_guard lock(m_mutex);
        m_items.push_back(std::move(bytes));
    }
    m_arrived.notify_one();
}

std::optional<std::vector<uint8_t>> Captures::Take(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    if (!m_arrived.wait_for(lock, timeout, [this] { return !m_items.empty(); })) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes = std::move(m_items.front());
    m_items.pop_front();
    return bytes;
}

std::vector<uint8_t> ReadExactly(tcp::socket& socket, size_t count) {
    std::vector<uint8_t> bytes(count);
    asio::read(socket, asio::buffer(bytes));
    return bytes;
}

std::vector<uint8_t> ReadUntilClosed(tcp::socket& socket) {
    std::vector<uint8_t> bytes;
    std::error_code error;
    asio::read(socket, asio::dynamic_buffer(bytes), error);
    return bytes;
}

void WriteAll(tcp::socket& socket, const std::vector<uint8_t>& bytes) {
    asio::write(socket, asio::buffer(bytes));
}

void Reset(tcp::socket& socket) {
    socket.set_option(asio::socket_base::linger(true, 0));
    socket.close();
}

}  // namespace parlon::test
