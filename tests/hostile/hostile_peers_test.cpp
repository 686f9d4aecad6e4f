// Crowds of connections that stay open at a node, while nodes and a center in this process go on.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "center/center_thread.h"
#include "net/peer_listener.h"
#include "support/node_thread.h"
#include "support/test_support.h"

namespace parlon {
namespace {

using namespace std::chrono_literals;
using test::NodeThread;

constexpr size_t kNodeBound = PeerListenerOptions{}.maxConnectionsPerSource;
constexpr size_t kBeyond = 20;

// Four nodes that list each other and answer each message; crowds besiege the last, also a relay.
class SilentCrowdTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Both ends of every connection live in this process.
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(4096, limit.rlim_max));
        ASSERT_TRUE(::setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= 2048);
        std::string error;
        m_center = CenterThread::Start(
            {.pollPeriod = 10, .replyTime = 0, .registerPeriod = 250, .switchPeriod = 100}, error,
            [](const std::string&) {});
        ASSERT_NE(m_center, nullptr) << error;
        for (const std::string name : {"A", "B", "C", "D"}) {
            m_nodes.push_back(
                std::make_unique<NodeThread>(name, m_center->Address(), "re " + name));
        }
        const auto listsEveryNode = [&](const auto& node) {
            return std::all_of(m_nodes.begin(), m_nodes.end(),
                               [&](const auto& other) { return node->RowOf(other->nickname); });
        };
        ASSERT_TRUE(test::Eventually(
            [&] { return std::all_of(m_nodes.begin(), m_nodes.end(), listsEveryNode); }, 30s));
    }

    // Types `text` at `from`; the check holds once it arrived and the auto reply came back.
    static std::function<bool()> Send(NodeThread& from, NodeThread& to, std::string text) {
        from.Type("send " + std::to_string(from.RowOf(to.nickname).value()) + " " + text);
        return [&from, &to, text, reply = "re " + to.nickname] {
            return to.Count<MessageEvent>([&](const auto& m) { return m.text == text; }) == 1 &&
                   from.Count<ReplyEvent>(
                       [&](const auto& r) { return r.message == text && r.reply == reply; }) == 1;
        };
    }
    static size_t Statuses(const NodeThread& node, const std::string& text) {
        return node.Count<StatusEvent>([&](const auto& status) { return status.text == text; });
    }

    std::unique_ptr<CenterThread> m_center;
    std::vector<std::unique_ptr<NodeThread>> m_nodes;
};

TEST_F(SilentCrowdTest, CrowdsFromOneHostHoldTheirBoundOnlyAndNothingOfOthersIsLost) {
    NodeThread& besieged = *m_nodes.back();
    // Beyond the per-source bounds, closed long before the deadlines; within, held.
    test::Crowd atNode(ParseIpv4("127.0.0.2"), besieged.address, kNodeBound + kBeyond, 1);
    EXPECT_TRUE(test::Eventually([&] { return atNode.Ended() == kBeyond; }, 2s));
    // Silent ones go at the first-byte deadline, a tenth of the whole one.
    test::Crowd silentAtNode(ParseIpv4("127.0.0.3"), besieged.address, kNodeBound, 0);
    EXPECT_TRUE(test::Eventually([&] { return silentAtNode.Ended() == kNodeBound; }, 3s));

    // Meanwhile three messages from every node on 127.0.0.1, all sent before any is awaited.
    std::vector<std::function<bool()>> trips;
    for (size_t index = 0; index < 3 * m_nodes.size(); ++index) {
        NodeThread& to =
            index / m_nodes.size() == 1 ? *m_nodes[(index + 1) % m_nodes.size()] : besieged;
        trips.push_back(
            Send(*m_nodes[index % m_nodes.size()], to, "message " + std::to_string(index)));
    }
    // One deadline for all, not 60 s each.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    for (size_t index = 0; index < trips.size(); ++index) {
        EXPECT_TRUE(test::EventuallyBy(trips[index], deadline))
            << "message " << index << " was lost";
    }
    const auto registeredBy = std::chrono::steady_clock::now() + 10s;
    for (const auto& node : m_nodes) {  // registrations go on: each answered twice more
        const size_t answered = Statuses(*node, "Connected");
        EXPECT_TRUE(test::EventuallyBy([&] { return Statuses(*node, "Connected") >= answered + 2; },
                                       registeredBy))
            << node->nickname;
        EXPECT_EQ(Statuses(*node, "Error Reistering On Center!"), 0u) << node->nickname;
    }
}

}  // namespace
}  // namespace parlon
