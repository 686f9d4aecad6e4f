// Hostile peers against real nodes and a real center in this process, all on 127.0.0.1: crowds
// of connections that send nothing and stay open, and truncations of valid frames (random frames
// are the fuzz targets').
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include "center/center_thread.h"
#include "common/utf8_text.h"
#include "crypto/encryption_context.h"
#include "net/center_connection.h"
#include "net/packet.h"
#include "net/peer_listener.h"
#include "support/node_thread.h"
#include "support/test_support.h"

namespace parlon {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;
using Bytes = std::vector<uint8_t>;
using test::NodeThread;

// Sends `bytes` as a sender of one frame does; true once the server is done with it (closed).
bool SendRawFrame(const PeerAddress& address, std::span<const uint8_t> bytes) {
    tcp::socket socket = test::ConnectFrom(ParseIpv4("127.0.0.1"), address);
    std::error_code ignored;
    asio::write(socket, asio::buffer(bytes.data(), bytes.size()), ignored);  // may be cut short
    socket.shutdown(tcp::socket::shutdown_send, ignored);
    return test::EndedByPeer(socket, 10s);
}

// A center on a free port with short periods, its log dropped; null with `error` set when it
// cannot start.
std::unique_ptr<CenterThread> StartCenter(uint32_t hopCount, uint32_t registerPeriod,
                                          std::string& error) {
    CenterSettings settings{.hopCount = hopCount, .pollPeriod = 10, .replyTime = 0};
    settings.registerPeriod = registerPeriod;
    settings.switchPeriod = 100;
    settings.maxConnections = PeerListenerOptions{}.maxConnections;
    return CenterThread::Start(settings, error, [](const std::string&) {});
}

constexpr size_t kNodeBound = PeerListenerOptions{}.maxConnectionsPerSource;
constexpr size_t kCenterBound = CenterSettings{}.maxConnectionsPerSource;
constexpr size_t kBeyond = 20;

// Four nodes that list each other and answer each message; crowds besiege the last, also a relay.
class SilentCrowdTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Both ends of every connection live in this process: about 150 at each of two servers.
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(4096, limit.rlim_max));
        ASSERT_TRUE(::setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= 2048);
        std::string error;
        m_center = StartCenter(3, 250, error);
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
    // Every node's registration is answered twice more from now on (all within 10 s).
    void ExpectRegistrationsGoOn() const {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        for (const auto& node : m_nodes) {
            const size_t answered = Statuses(*node, "Connected");
            EXPECT_TRUE(test::EventuallyBy(
                [&] { return Statuses(*node, "Connected") >= answered + 2; }, deadline))
                << node->nickname;
        }
    }

    std::unique_ptr<CenterThread> m_center;
    std::vector<std::unique_ptr<NodeThread>> m_nodes;
};

TEST_F(SilentCrowdTest, CrowdsFromOneHostHoldTheirBoundOnlyAndNothingOfOthersIsLost) {
    NodeThread& besieged = *m_nodes.back();
    {
        // Beyond the per-source bounds, closed long before the deadlines; within, held.
        test::Crowd atNode(ParseIpv4("127.0.0.2"), besieged.address, kNodeBound + kBeyond, 1);
        test::Crowd atCenter(ParseIpv4("127.0.0.2"), m_center->Address(), kCenterBound + kBeyond,
                             1);
        EXPECT_TRUE(test::Eventually([&] { return atNode.Ended() == kBeyond; }, 2s));
        EXPECT_TRUE(test::Eventually([&] { return atCenter.Ended() == kBeyond; }, 2s));
        // Silent ones go at the first-byte deadline, a tenth of the whole one.
        test::Crowd silentAtNode(ParseIpv4("127.0.0.3"), besieged.address, kNodeBound, 0);
        test::Crowd silentAtCenter(ParseIpv4("127.0.0.3"), m_center->Address(), kCenterBound, 0);
        EXPECT_TRUE(test::Eventually([&] { return silentAtNode.Ended() == kNodeBound; }, 3s));
        EXPECT_TRUE(test::Eventually([&] { return silentAtCenter.Ended() == kCenterBound; }, 3s));

        // Meanwhile the nodes on 127.0.0.1: three messages from every node, all sent before
        // the first is awaited.
        std::vector<std::function<bool()>> trips;
        for (size_t index = 0; index < 3 * m_nodes.size(); ++index) {
            NodeThread& to =
                index / m_nodes.size() == 1 ? *m_nodes[(index + 1) % m_nodes.size()] : besieged;
            trips.push_back(
                Send(*m_nodes[index % m_nodes.size()], to, "message " + std::to_string(index)));
        }
        // One deadline for all: when messages are lost, the test ends in 60 s, not 60 s each.
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        for (size_t index = 0; index < trips.size(); ++index) {
            EXPECT_TRUE(test::EventuallyBy(trips[index], deadline))
                << "message " << index << " was lost";
        }
        ExpectRegistrationsGoOn();
        for (const auto& node : m_nodes) {
            EXPECT_EQ(Statuses(*node, "Error Reistering On Center!"), 0u) << node->nickname;
        }
    }
    // The crowds have left: registrations are answered and messages arrive again.
    ExpectRegistrationsGoOn();
    EXPECT_TRUE(test::Eventually(Send(*m_nodes[0], besieged, "after the crowd"), 60s));
}

// Appends every proper prefix of `frame`, the empty one included, to `frames`.
void AddTruncations(const ByteBuffer& frame, std::vector<Bytes>& frames) {
    const Bytes whole = test::BytesOf(frame);
    for (auto end = whole.begin(); end != whole.end(); ++end) {
        frames.emplace_back(whole.begin(), end);
    }
}

// A node T, and a sender S wrapping real messages to T. Each frame leaves once the servers are
// done with the one before: once the real message shows, every frame before it was handled.
TEST(GarbageFrames, LeaveTheNodeAndTheCenterServingAndTheNodeReportingNothingElse) {
    std::string error;
    const auto center = StartCenter(1, 600000, error);  // no renewals while the test runs
    ASSERT_NE(center, nullptr) << error;
    // S registers first, so that T's only list names it: T takes packets from parlons only.
    std::vector<ParlonEntry> list;
    CenterSchedule schedule;
    const PeerAddress senderAddress = test::UnusedPort();
    EncryptionContext sender(senderAddress, list);
    ParlonEntry senderEntry = test::MakeEntry(senderAddress.port, "S", "");
    senderEntry.SetPublicKey(sender.GetPublicKey());
    CenterConnection link(senderEntry, center->Address());
    ASSERT_TRUE(link.Register(list, schedule));
    NodeThread node("T", center->Address(), std::nullopt);
    ASSERT_TRUE(test::Eventually([&] { return node.RowOf("T").has_value(); }, 30s));
    ASSERT_TRUE(link.Register(list, schedule));
    ASSERT_EQ(list.size(), 2u);
    const auto messageToNode = [&](uint32_t hopCount, const std::string& text) {
        sender.SetHopCount(hopCount);
        PeerAddress firstHop;
        const uint32_t row = list[0].port == node.address.port ? 0 : 1;
        return sender.WrapMessage(MakeTextField(QueuedText(text).Bytes()), row, firstHop).value();
    };

    // Both servers get every frame. Random bytes are the fuzz targets' part.
    std::vector<Bytes> frames;
    for (uint32_t hopCount = 1; hopCount <= 3; ++hopCount) {
        AddTruncations(Packet(messageToNode(hopCount, "never whole")).Encode(), frames);
    }
    const ParlonEntry intruder = test::MakeEntry(7002, "intruder", "key of intruder");
    AddTruncations(Packet(Registration, RegistrationRecord{intruder, {}}).Encode(), frames);
    AddTruncations(Packet(SignOff, RegistrationRecord{senderEntry, {}}).Encode(), frames);
    const size_t eventsBefore = node.Events().size();
    const size_t logBefore = node.Log().size();

    for (const Bytes& frame : frames) {
        ASSERT_TRUE(SendRawFrame(node.address, frame)) << "the node stopped serving";
        ASSERT_TRUE(SendRawFrame(center->Address(), frame)) << "the center stopped serving";
    }
    ASSERT_TRUE(link.Send(node.address, messageToNode(1, "the real one")));
    ASSERT_TRUE(test::Eventually([&] { return node.Events().size() > eventsBefore; }, 30s));

    const std::vector<NodeEvent> events = node.Events();
    ASSERT_EQ(events.size(), eventsBefore + 1);
    ASSERT_TRUE(std::holds_alternative<MessageEvent>(events.back()))
        << FormatEvent(events.back(), EventFormat::Text);
    EXPECT_EQ(std::get<MessageEvent>(events.back()).text, "the real one");
    const std::string logged = node.Log().substr(logBefore);
    EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 1) << logged;
    EXPECT_NE(logged.find("> T: - Just recieved a new message!"), std::string::npos) << logged;
    // The center answers as before: the intruder is not listed, the sender not signed off.
    ASSERT_TRUE(link.Register(list, schedule));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].NicknameText(), "S");
    EXPECT_EQ(list[1].NicknameText(), "T");
}

}  // namespace
}  // namespace parlon
