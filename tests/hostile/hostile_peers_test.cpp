// Hostile peers against a real node and a real center in this process, all on 127.0.0.1:
// truncations of valid frames. Crowds of connections are met by the listener's and the center's
// own tests, random frames by the fuzz targets.
#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include "center/center_thread.h"
#include "common/utf8_text.h"
#include "crypto/encryption_context.h"
#include "net/center_connection.h"
#include "net/packet.h"
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
    CenterSettings settings{.hopCount = 1, .pollPeriod = 10, .replyTime = 0};
    settings.registerPeriod = 600000;  // no renewals while the test runs
    settings.switchPeriod = 100;
    std::string error;
    const auto center = CenterThread::Start(settings, error, [](const std::string&) {});
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
