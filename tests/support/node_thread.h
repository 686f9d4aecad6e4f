// NodeThread: one headless node run as parlon-cli runs it (a CliNode with the real services),
// on an io_context and a thread of its own, listening on a free loopback port and logging into
// a fresh directory. It presses Connect at once; destroying it quits the node, which signs off
// at the center. It records every event the node prints.
//
// THREAD SAFETY: every method may be called from any thread but the node's own.
#pragma once

#include <algorithm>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "cli/cli_node.h"
#include "queue/guarded_queue.h"
#include "support/temp_dir.h"
#include "support/test_support.h"

namespace parlon::test {

class NodeThread {
  public:
    NodeThread(std::string name, const PeerAddress& center, std::optional<std::string> autoReply);
    ~NodeThread();
    NodeThread(const NodeThread&) = delete;
    NodeThread& operator=(const NodeThread&) = delete;

    // Hands `line` to the node as if typed at its terminal.
    void Type(std::string line);

    // The events printed so far, oldest first.
    std::vector<NodeEvent> Events() const;
    // Waits until `condition` holds for the events printed so far, or `timeout` passes; returns
    // its last value. `condition` runs under the node's lock: it must not call back.
    bool WaitFor(const std::function<bool(const std::vector<NodeEvent>&)>& condition,
                 std::chrono::milliseconds timeout) const;

    // How many events of one kind it printed for which `match` holds.
    template <typename Event>
    size_t Count(const std::function<bool(const Event&)>& match) const {
        return CountIn<Event>(Events(), match);
    }
    template <typename Event>
    static size_t CountIn(const std::vector<NodeEvent>& events,
                          const std::function<bool(const Event&)>& match) {
        return static_cast<size_t>(std::ranges::count_if(events, [&](const NodeEvent& event) {
            return std::holds_alternative<Event>(event) && match(std::get<Event>(event));
        }));
    }

    // The row of `name` in the last list it printed that holds it.
    std::optional<uint32_t> RowOf(const std::string& name) const;

    // The text of its activity log.
    std::string Log() const;

    const std::string nickname;
    const PeerAddress address = UnusedPort();

  private:
    TempDir m_dir;
    asio::io_context m_io{1};
    // Keeps run() going until the node is stopped, also while nothing is due.
    asio::executor_work_guard<asio::io_context::executor_type> m_work{m_io.get_executor()};
    GuardedQueue m_incoming;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_printed;  // notified after each event
    std::vector<NodeEvent> m_events;            // guarded by m_mutex
    std::unique_ptr<CliNode> m_node;
    std::thread m_thread;
};

}  // namespace parlon::test
