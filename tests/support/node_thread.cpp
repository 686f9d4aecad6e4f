#include "support/node_thread.h"

#include <asio/post.hpp>
#include <fstream>
#include <iterator>

namespace parlon::test {

NodeThread::NodeThread(std::string name, const PeerAddress& center,
                       std::optional<std::string> autoReply)
    : nickname(std::move(name)) {
    const NodeOptions options{.settings = {address.port, address.ip, nickname, center},
                              .autoReply = std::move(autoReply)};
    SessionServices services = SessionServices::Real();
    services.incoming = &m_incoming;
    m_node = std::make_unique<CliNode>(m_io, options,
                                       std::make_unique<ActivityLog>(m_dir.Path() / "Activity.log"),
                                       std::move(services), [this](const NodeEvent& event) {
                                           {
                                               const std::lock_guard lock(m_mutex);
                                               m_events.push_back(event);
                                           }
                                           m_printed.notify_all();
                                       });
    asio::post(m_io, [this] { m_node->Start(); });
    m_thread = std::thread([this] { m_io.run(); });
}

NodeThread::~NodeThread() {
    asio::post(m_io, [this] {
        m_node->Quit();  // writes the end line
        m_io.stop();
    });
    m_thread.join();
    m_node.reset();  // signs off at the center
}

void NodeThread::Type(std::string line) {
    asio::post(m_io, [this, line = std::move(line)] { m_node->HandleLine(line); });
}

std::vector<NodeEvent> NodeThread::Events() const {
    const std::lock_guard lock(m_mutex);
    return m_events;
}

bool NodeThread::WaitFor(const std::function<bool(const std::vector<NodeEvent>&)>& condition,
                         std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_printed.wait_for(lock, timeout, [&] { return condition(m_events); });
}

std::optional<uint32_t> NodeThread::RowOf(const std::string& name) const {
    std::optional<uint32_t> row;
    for (const NodeEvent& event : Events()) {
        if (const auto* list = std::get_if<ListEvent>(&event)) {
            for (const ListRow& listed : list->parlons) {
                row = listed.nickname == name ? listed.index : row;
            }
        }
    }
    return row;
}

std::string NodeThread::Log() const {
    std::ifstream file(m_dir.Path() / "Activity.log");
    return {std::istreambuf_iterator<char>(file), {}};
}

}  // namespace parlon::test
