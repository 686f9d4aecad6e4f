// Two hundred connections that send nothing and stay open, against one node's listener and
// against the center, while the nodes go on messaging and re-registering: nothing is lost, and
// connections beyond the servers' bounds are closed at once, so a crowd holds bounded memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "center/center_thread.h"
#include "hostile_network.h"
#include "net/center_connection.h"
#include "net/peer_listener.h"
#include "net_test_support.h"

namespace parlon::hostile {
namespace {

constexpr size_t kCrowd = 200;
constexpr size_t kBound = 256;  // the listener's default bound, and the center's here
constexpr size_t kNodes = 4;

// The center's log lines, collected from its thread.
class CenterLog {
  public:
    CenterLogSink Sink() {
        return [this](const std::string& line) {
            const std::lock_guard lock(m_mutex);
            m_lines.push_back(line);
        };
    }
    size_t Count(const std::string& text) const {
        const std::lock_guard lock(m_mutex);
        return static_cast<size_t>(
            std::count_if(m_lines.begin(), m_lines.end(),
                          [&](const auto& l) { return l.find(text) != std::string::npos; }));
    }

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

class SilentCrowdTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Both ends of every connection live in this process: crowds of 300 at two servers.
        ASSERT_GE(RaiseDescriptorLimit(4096), 2048u) << "too few descriptors for the crowds";
    }

    void SetUp() override {
        static_assert(PeerListenerOptions{}.maxConnections == kBound);
        CenterSettings settings;
        settings.hopCount = 3;
        settings.pollPeriod = 10;
        settings.replyTime = 0;
        settings.registerPeriod = 250;
        settings.switchPeriod = 250;
        settings.maxConnections = kBound;
        std::string error;
        m_center = CenterThread::Start(settings, error, m_centerLog.Sink());
        ASSERT_NE(m_center, nullptr) << error;
        for (const char* name : {"A", "B", "C", "D"}) {
            m_nodes.push_back(std::make_unique<NodeThread>(name, m_center->Address(),
                                                           std::string("auto reply from ") + name));
        }
        for (auto& node : m_nodes) {
            ASSERT_TRUE(node->Events().WaitUntil(
                [](const std::vector<NodeEvent>& events) {
                    return std::any_of(events.begin(), events.end(), [](const NodeEvent& event) {
                        const auto* list = std::get_if<ListEvent>(&event);
                        return list != nullptr && list->parlons.size() == kNodes;
                    });
                },
                30s))
                << node->Nickname() << " never listed every node";
        }
    }

    NodeThread& Node(size_t index) { return *m_nodes[index]; }
    NodeThread& Besieged() { return *m_nodes.back(); }

    // Sends `text` from `sender` to `addressee`, as typed on the sender's input.
    void Send(NodeThread& sender, NodeThread& addressee, const std::string& text) {
        const std::optional<uint32_t> row = sender.RowOf(addressee.Nickname());
        ASSERT_TRUE(row.has_value()) << addressee.Nickname() << " is not in the list";
        sender.Type("send " + std::to_string(*row) + " " + text);
    }

    // Whether `addressee` received `text` and its automatic reply came back to `sender`.
    static bool RoundTripDone(NodeThread& sender, NodeThread& addressee, const std::string& text) {
        const auto received = addressee.Events().All<MessageEvent>();
        const auto replies = sender.Events().All<ReplyEvent>();
        return std::any_of(received.begin(), received.end(),
                           [&](const MessageEvent& event) { return event.text == text; }) &&
               std::any_of(replies.begin(), replies.end(), [&](const ReplyEvent& event) {
                   return event.message == text &&
                          event.reply == "auto reply from " + addressee.Nickname();
               });
    }

    size_t Renewals() const { return m_centerLog.Count("(renewed;"); }

    size_t RegistrationFailures() const {
        size_t failures = 0;
        for (const auto& node : m_nodes) {
            failures += node->StatusCount("Error Reistering On Center!");
        }
        return failures;
    }

    CenterLog m_centerLog;
    std::unique_ptr<CenterThread> m_center;
    std::vector<std::unique_ptr<NodeThread>> m_nodes;
};

TEST_F(SilentCrowdTest, MessagesAndRegistrationsGoOnPastTwoHundredSilentConnectionsEach) {
    SilentCrowd atNode(Besieged().Address(), kCrowd);
    SilentCrowd atCenter(m_center->Address(), kCrowd);
    const size_t renewalsBefore = Renewals();

    // Every node writes three messages, most of them to the besieged node, which is also a
    // likely relay of the others.
    struct Trip {
        size_t sender;
        size_t addressee;
        std::string text;
    };
    std::vector<Trip> trips;
    for (size_t round = 0; round < 3; ++round) {
        for (size_t sender = 0; sender < kNodes; ++sender) {
            const size_t addressee = round == 1 ? (sender + 1) % kNodes : kNodes - 1;
            trips.push_back({sender, addressee,
                             "message " + std::to_string(trips.size()) + " from " +
                                 Node(sender).Nickname() + " to " + Node(addressee).Nickname()});
            Send(Node(sender), Node(addressee), trips.back().text);
        }
    }
    for (const Trip& trip : trips) {
        EXPECT_TRUE(test::Eventually(
            [&] { return RoundTripDone(Node(trip.sender), Node(trip.addressee), trip.text); }, 60s))
            << trip.text;
    }

    // Registrations were answered all along, and a newcomer is answered too.
    EXPECT_TRUE(test::Eventually([&] { return Renewals() >= renewalsBefore + 2 * kNodes; }, 10s));
    EXPECT_EQ(RegistrationFailures(), 0u);
    CenterConnection newcomer(test::MakeEntry(test::UnusedPort().port, "newcomer", "key"),
                              m_center->Address(), {1s, 1s, 2s});
    std::vector<ParlonEntry> list;
    CenterSchedule schedule;
    ASSERT_TRUE(newcomer.Register(list, schedule));
    EXPECT_EQ(list.size(), kNodes + 1);

    // The servers held every silent connection meanwhile: the crowds were real.
    EXPECT_EQ(atNode.ClosedByServer(), 0u);
    EXPECT_EQ(atCenter.ClosedByServer(), 0u);
}

TEST_F(SilentCrowdTest, ConnectionsBeyondTheBoundsAreClosedAtOnceAndServingResumes) {
    {
        SilentCrowd atNode(Besieged().Address(), kCrowd);
        SilentCrowd atCenter(m_center->Address(), kCrowd);
        SilentCrowd moreAtNode(Besieged().Address(), 100);
        SilentCrowd moreAtCenter(m_center->Address(), 100);

        // Closed long before the servers' deadlines (10 s): refused for the bound, not for
        // silence. The first crowds are within the bounds and are kept.
        constexpr size_t kBeyond = kCrowd + 100 - kBound;
        EXPECT_TRUE(test::Eventually([&] { return moreAtNode.ClosedByServer() >= kBeyond; }, 2s));
        EXPECT_TRUE(test::Eventually([&] { return moreAtCenter.ClosedByServer() >= kBeyond; }, 2s));
        // Nothing else reaches the node; at the center, registrations may take a place too.
        EXPECT_EQ(moreAtNode.ClosedByServer(), kBeyond);
        EXPECT_GE(m_centerLog.Count("too many connections"), kBeyond);
        EXPECT_EQ(atNode.ClosedByServer(), 0u);
        EXPECT_EQ(atCenter.ClosedByServer(), 0u);
    }

    // The crowds have left: registrations are answered and messages arrive again.
    const size_t renewals = Renewals();
    EXPECT_TRUE(test::Eventually([&] { return Renewals() >= renewals + kNodes; }, 10s));
    const std::string text = "after the crowd";
    Send(Node(0), Besieged(), text);
    EXPECT_TRUE(test::Eventually([&] { return RoundTripDone(Node(0), Besieged(), text); }, 60s));
}

}  // namespace
}  // namespace parlon::hostile
