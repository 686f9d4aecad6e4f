#include "hostile_network.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <asio/post.hpp>
#include <fstream>
#include <stdexcept>
#include <utility>

#include "net_test_support.h"
#include "session/session_services.h"

namespace parlon::hostile {

namespace {

// A blocking connection to `address` with the plain socket calls; -1 when it fails.
int Connect(const PeerAddress& address) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = address.ip;
    target.sin_port = htons(address.port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

size_t RaiseDescriptorLimit(size_t needed) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < needed) {
        limit.rlim_cur = std::min<rlim_t>(needed, limit.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    return static_cast<size_t>(limit.rlim_cur);
}

EventSink EventRecord::Sink() {
    return [this](const NodeEvent& event) {
        {
            const std::lock_guard lock(m_mutex);
            m_events.push_back(event);
        }
        m_changed.notify_all();
    };
}

bool EventRecord::WaitUntil(const std::function<bool(const std::vector<NodeEvent>&)>& done,
                            std::chrono::milliseconds limit) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return done(m_events); });
}

std::vector<NodeEvent> EventRecord::Events() const {
    const std::lock_guard lock(m_mutex);
    return m_events;
}

NodeThread::NodeThread(const std::string& nickname, const PeerAddress& center,
                       std::optional<std::string> autoReply)
    : m_nickname(nickname), m_address(test::UnusedPort()) {
    NodeOptions options;
    options.settings.nickname = nickname;
    options.settings.ownIp = m_address.ip;
    options.settings.ownPort = m_address.port;
    options.settings.center = center;
    options.autoReply = std::move(autoReply);
    SessionServices services = SessionServices::Real();
    services.incoming = &m_incoming;
    m_node = std::make_unique<CliNode>(m_io, options,
                                       std::make_unique<ActivityLog>(m_dir.Path() / "Activity.log"),
                                       std::move(services), m_events.Sink());
    m_thread = std::thread([this] { m_io.run(); });
    asio::post(m_io, [this] { m_node->Start(); });
}

NodeThread::~NodeThread() {
    // The node's timers keep its context busy: it is stopped once the end line is written.
    asio::post(m_io, [this] {
        m_node->Quit();
        m_io.stop();
    });
    m_thread.join();
    m_node.reset();  // signs off at the center
}

void NodeThread::Type(std::string line) {
    asio::post(m_io, [this, line = std::move(line)] { m_node->HandleLine(line); });
}

std::optional<uint32_t> NodeThread::RowOf(const std::string& nickname) const {
    const std::vector<ListEvent> lists = m_events.All<ListEvent>();
    if (lists.empty()) {
        return std::nullopt;
    }
    for (const ListRow& row : lists.back().parlons) {
        if (row.nickname == nickname) {
            return row.index;
        }
    }
    return std::nullopt;
}

std::vector<std::string> NodeThread::LogLines() const {
    std::ifstream file(m_dir.Path() / "Activity.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    return lines;
}

size_t NodeThread::StatusCount(const std::string& text) const {
    const std::vector<StatusEvent> statuses = m_events.All<StatusEvent>();
    return static_cast<size_t>(std::count_if(statuses.begin(), statuses.end(), [&](const auto& s) {
        return s.text.find(text) != std::string::npos;
    }));
}

SilentCrowd::SilentCrowd(const PeerAddress& address, size_t count) {
    for (size_t index = 0; index < count; ++index) {
        const int fd = Connect(address);
        if (fd < 0) {
            throw std::runtime_error("a silent connection could not be made");
        }
        m_descriptors.push_back(fd);
    }
}

SilentCrowd::~SilentCrowd() {
    for (const int fd : m_descriptors) {
        ::close(fd);
    }
}

size_t SilentCrowd::ClosedByServer() const {
    // A connection the server closed reads as ended (or reset); one it keeps has nothing.
    size_t closed = 0;
    for (const int fd : m_descriptors) {
        pollfd waiting{fd, POLLIN, 0};
        char byte = 0;
        closed += ::poll(&waiting, 1, 0) == 1 && ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK) <= 0
                      ? 1u
                      : 0u;
    }
    return closed;
}

bool SendRawFrame(const PeerAddress& address, std::span<const uint8_t> bytes) {
    const int fd = Connect(address);
    if (fd < 0) {
        return false;
    }
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t count =
            ::send(fd, bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL);
        if (count <= 0) {
            break;  // the receiver closed early: what it does with the rest is its business
        }
        written += static_cast<size_t>(count);
    }
    ::close(fd);
    return true;
}

}  // namespace parlon::hostile
