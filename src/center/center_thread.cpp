#include "center/center_thread.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <thread>
#include <utility>

#include "center/center_server.h"
#include "net/asio_endpoint.h"

namespace parlon {

struct CenterThread::Running {
    Running(const CenterSettings& settings, CenterLogSink log, std::unique_ptr<RegistryStore> store)
        : io(1), server(io, settings, std::move(log), std::move(store)) {}

    asio::io_context io;
    CenterServer server;  // destroyed before io
    std::thread thread;
};

PeerAddress CenterThread::LoopbackAnyPort() {
    return ToPeerAddress(asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
}

std::unique_ptr<CenterThread> CenterThread::Start(const CenterSettings& settings,
                                                  std::string& error, CenterLogSink log,
                                                  const PeerAddress& listenOn,
                                                  std::unique_ptr<RegistryStore> store) {
    try {
        auto running = std::make_unique<Running>(settings, std::move(log), std::move(store));
        if (const std::error_code failure = running->server.Listen(ToEndpoint(listenOn))) {
            error = "cannot listen on " + EndpointText(listenOn) + ": " + failure.message();
            return nullptr;
        }
        // A center on every local address is reached through loopback.
        PeerAddress address = listenOn.ip == 0 ? LoopbackAnyPort() : listenOn;
        address.port = running->server.Port();
        Running& started = *running;
        started.thread = std::thread([&started] { started.io.run(); });
        return std::unique_ptr<CenterThread>(new CenterThread(std::move(running), address));
    } catch (const std::system_error& failure) {
        error = "cannot start a center: " + std::string(failure.what());
        return nullptr;
    }
}

CenterThread::CenterThread(std::unique_ptr<Running> running, const PeerAddress& address)
    : m_running(std::move(running)), m_address(address) {}

CenterThread::~CenterThread() {
    Stop();
}

void CenterThread::Stop() {
    if (m_running == nullptr) {
        return;
    }
    // Close runs on the center's thread like every other handler; the context then runs out
    // of work, so run() returns once each connection has ended.
    asio::post(m_running->io, [server = &m_running->server] { server->Close(); });
    m_running->thread.join();
    m_running.reset();
}

uint16_t CenterThread::Port() const noexcept {
    return m_address.port;
}

PeerAddress CenterThread::Address() const noexcept {
    return m_address;
}

}  // namespace parlon
