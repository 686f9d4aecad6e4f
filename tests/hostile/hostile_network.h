// Helpers of the hostile-peer tests: headless nodes run in this process as parlon-cli runs
// them, what they print, crowds of silent connections, and raw frames. Everything stays on
// 127.0.0.1.
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_node.h"
#include "cli/node_event.h"
#include "common/wire_records.h"
#include "queue/guarded_queue.h"
#include "support/temp_dir.h"

namespace parlon::hostile {

using namespace std::chrono_literals;

// Raises the soft limit of open descriptors to at least `needed` when the hard limit allows.
// Returns the soft limit now in force.
size_t RaiseDescriptorLimit(size_t needed);

// Everything a node printed, in order, gathered from the node's thread.
class EventRecord {
  public:
    EventSink Sink();

    // Waits until `done` holds for the events so far, or `limit` passes; returns its last value.
    // `done` runs under the record's lock: it must not call this record.
    bool WaitUntil(const std::function<bool(const std::vector<NodeEvent>&)>& done,
                   std::chrono::milliseconds limit);
    std::vector<NodeEvent> Events() const;

    // Every event of one kind so far.
    template <typename Event>
    std::vector<Event> All() const {
        std::vector<Event> found;
        for (const NodeEvent& event : Events()) {
            if (const auto* match = std::get_if<Event>(&event)) {
                found.push_back(*match);
            }
        }
        return found;
    }

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<NodeEvent> m_events;
};

// One headless node (CliNode) on a thread of its own, with its own incoming queue, working
// directory and activity log. It presses Connect at once; destroying it quits the node, which
// signs off at the center.
class NodeThread {
  public:
    NodeThread(const std::string& nickname, const PeerAddress& center,
               std::optional<std::string> autoReply);
    ~NodeThread();
    NodeThread(const NodeThread&) = delete;
    NodeThread& operator=(const NodeThread&) = delete;

    // One line of input, as typed on the node's standard input.
    void Type(std::string line);

    EventRecord& Events() { return m_events; }
    const std::string& Nickname() const { return m_nickname; }
    PeerAddress Address() const { return m_address; }

    // The row of `nickname` in the list this node showed last.
    std::optional<uint32_t> RowOf(const std::string& nickname) const;
    // The lines of its activity log so far.
    std::vector<std::string> LogLines() const;
    // Status texts it showed that contain `text`.
    size_t StatusCount(const std::string& text) const;

  private:
    std::string m_nickname;
    PeerAddress m_address;
    testing::TempDir m_dir;
    asio::io_context m_io{1};
    // Keeps run() going until the node is stopped, also while nothing is due.
    asio::executor_work_guard<asio::io_context::executor_type> m_work{m_io.get_executor()};
    GuardedQueue m_incoming;
    EventRecord m_events;
    std::unique_ptr<CliNode> m_node;
    std::thread m_thread;
};

// `count` connections to `address` that send nothing and stay open until the crowd is
// destroyed (unless the server closes them).
class SilentCrowd {
  public:
    SilentCrowd(const PeerAddress& address, size_t count);
    ~SilentCrowd();
    SilentCrowd(const SilentCrowd&) = delete;
    SilentCrowd& operator=(const SilentCrowd&) = delete;

    size_t Size() const { return m_descriptors.size(); }
    // How many of the connections the server has closed by now.
    size_t ClosedByServer() const;

  private:
    std::vector<int> m_descriptors;
};

// Writes `bytes` on a connection of its own to `address` and closes it, as a sender of one
// frame does, whatever the bytes are. False when the connection could not be made.
bool SendRawFrame(const PeerAddress& address, std::span<const uint8_t> bytes);

}  // namespace parlon::hostile
