// Frames of random bytes, and every truncation of valid frames, sent to a node and to the
// center: both stay up, serve the next real frame, and log nothing but what they should (the
// node nothing at all, the center one refusal per connection).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "center/center_thread.h"
#include "common/utf8_text.h"
#include "crypto/encryption_context.h"
#include "hostile_network.h"
#include "net/center_connection.h"
#include "net/packet.h"
#include "net/wire_format.h"
#include "net_test_support.h"

namespace parlon::hostile {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes BytesOf(const ByteBuffer& buffer) {
    return {buffer.Bytes().begin(), buffer.Bytes().end()};
}

// Frames of random length and bytes; every third one begins with a right header, and some of
// those carry a packet tag, so that they get past the first checks.
std::vector<Bytes> RandomFrames(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<size_t> length(0, 1400);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<Bytes> frames;
    for (size_t index = 0; index < count; ++index) {
        Bytes frame(length(random));
        std::generate(frame.begin(), frame.end(),
                      [&] { return static_cast<uint8_t>(byte(random)); });
        if (index % 3 == 0 && frame.size() > kFrameHeaderSize) {
            const Bytes header = BytesOf(Packet(ByteBuffer()).Encode());
            std::copy(header.begin(), header.end(), frame.begin());
            constexpr uint8_t kTags[] = {'F', 'R', 'X'};
            frame[kFrameHeaderSize] = kTags[index % 9 / 3];
        }
        frames.push_back(std::move(frame));
    }
    return frames;
}

// Every proper prefix of `frame`, the empty one included.
std::vector<Bytes> Truncations(const Bytes& frame) {
    std::vector<Bytes> prefixes;
    for (size_t length = 0; length < frame.size(); ++length) {
        prefixes.emplace_back(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(length));
    }
    return prefixes;
}

class GarbageToANodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CenterSettings settings;
        settings.hopCount = 1;
        settings.pollPeriod = 10;
        settings.replyTime = 0;
        settings.registerPeriod = 600000;  // no re-registration lines while the test runs
        settings.switchPeriod = 100;
        std::string error;
        m_center = CenterThread::Start(settings, error, [](const std::string&) {});
        ASSERT_NE(m_center, nullptr) << error;
        m_node = std::make_unique<NodeThread>("T", m_center->Address(), std::nullopt);
        ASSERT_TRUE(m_node->Events().WaitUntil(
            [](const std::vector<NodeEvent>& events) {
                return std::any_of(events.begin(), events.end(), [](const NodeEvent& event) {
                    return std::holds_alternative<ListEvent>(event);
                });
            },
            30s));

        // A sender that writes real messages to the node: registered, so that the list it
        // routes over holds the node's key and its own.
        const PeerAddress senderAddress = test::UnusedPort();
        m_sender = std::make_unique<EncryptionContext>(senderAddress, &m_list);
        ParlonEntry senderEntry = test::MakeEntry(senderAddress.port, "S", "");
        senderEntry.SetPublicKey(m_sender->GetPublicKey());
        m_link = std::make_unique<CenterConnection>(senderEntry, m_center->Address());
        CenterSchedule schedule;
        ASSERT_TRUE(m_link->Register(m_list, schedule));
        ASSERT_EQ(m_list.size(), 2u);
    }

    // A real message from the sender to the node, wrapped in `hopCount` layers.
    ByteBuffer MessageToNode(uint32_t hopCount, const std::string& text) {
        m_sender->SetHopCount(hopCount);
        const auto row =
            static_cast<uint32_t>(std::find_if(m_list.begin(), m_list.end(),
                                               [&](const ParlonEntry& entry) {
                                                   return entry.port == m_node->Address().port;
                                               }) -
                                  m_list.begin());
        PeerAddress firstHop;
        const std::optional<ByteBuffer> packet =
            m_sender->WrapMessage(MakeTextField(QueuedText(text).Bytes()), row, firstHop);
        EXPECT_TRUE(packet.has_value());
        return packet.value_or(ByteBuffer());
    }

    std::unique_ptr<CenterThread> m_center;
    std::unique_ptr<NodeThread> m_node;
    std::vector<ParlonEntry> m_list;
    std::unique_ptr<EncryptionContext> m_sender;
    std::unique_ptr<CenterConnection> m_link;
};

TEST_F(GarbageToANodeTest, TheNodeStaysUpAndLogsOnlyTheRealMessageAfterThem) {
    std::vector<Bytes> frames = RandomFrames(300, 20261206);
    for (uint32_t hopCount = 1; hopCount <= 3; ++hopCount) {
        const Bytes frame = BytesOf(Packet(MessageToNode(hopCount, "never whole")).Encode());
        const std::vector<Bytes> prefixes = Truncations(frame);
        frames.insert(frames.end(), prefixes.begin(), prefixes.end());
    }
    const std::vector<std::string> logBefore = m_node->LogLines();

    for (const Bytes& frame : frames) {
        ASSERT_TRUE(SendRawFrame(m_node->Address(), frame)) << "the node stopped listening";
    }
    ASSERT_TRUE(m_link->Send(m_node->Address(), MessageToNode(1, "the real one")));
    EXPECT_TRUE(m_node->Events().WaitUntil(
        [](const std::vector<NodeEvent>& events) {
            return std::any_of(events.begin(), events.end(), [](const NodeEvent& event) {
                const auto* message = std::get_if<MessageEvent>(&event);
                return message != nullptr && message->text == "the real one";
            });
        },
        30s));
    std::this_thread::sleep_for(300ms);  // thirty ticks for anything that came in late

    const std::vector<std::string> logAfter = m_node->LogLines();
    ASSERT_EQ(logAfter.size(), logBefore.size() + 1) << "the log gained other lines";
    EXPECT_NE(logAfter.back().find("> T: - Just recieved a new message!"), std::string::npos)
        << logAfter.back();
    EXPECT_EQ(m_node->Events().All<MessageEvent>().size(), 1u);
    EXPECT_TRUE(m_node->Events().All<ErrorEvent>().empty());
    EXPECT_EQ(m_node->StatusCount("Error"), 0u);
}

TEST(GarbageToTheCenter, EveryConnectionIsRefusedOnceAndTheListStaysAsItWas) {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::string error;
    auto center = CenterThread::Start(CenterSettings{}, error, [&](const std::string& line) {
        const std::lock_guard lock(mutex);
        lines.push_back(line);
    });
    ASSERT_NE(center, nullptr) << error;
    auto logLines = [&] {
        const std::lock_guard lock(mutex);
        return lines;
    };
    const ParlonEntry listed = test::MakeEntry(7001, "listed", "key of listed");
    CenterConnection link(listed, center->Address());
    std::vector<ParlonEntry> list;
    CenterSchedule schedule;
    ASSERT_TRUE(link.Register(list, schedule));
    const size_t linesBefore = logLines().size();

    const ParlonEntry intruder = test::MakeEntry(7002, "intruder", "key of intruder");
    std::vector<Bytes> frames =
        Truncations(BytesOf(Packet(Registration, RegistrationRecord{intruder, {}}).Encode()));
    const std::vector<Bytes> signOffs =
        Truncations(BytesOf(Packet(SignOff, RegistrationRecord{listed, {}}).Encode()));
    frames.insert(frames.end(), signOffs.begin(), signOffs.end());
    for (Bytes& frame : RandomFrames(100, 7)) {
        if (frame.size() >= kFrameHeaderSize && frame[0] == 0xAA) {
            frame[kFrameTypeOffset] = 7;  // never a whole request by chance
        }
        frames.push_back(std::move(frame));
    }
    for (const Bytes& frame : frames) {
        ASSERT_TRUE(SendRawFrame(center->Address(), frame));
    }

    EXPECT_TRUE(
        test::Eventually([&] { return logLines().size() >= linesBefore + frames.size(); }, 10s));
    const std::vector<std::string> after = logLines();
    EXPECT_EQ(after.size(), linesBefore + frames.size());
    for (size_t index = linesBefore; index < after.size(); ++index) {
        EXPECT_NE(after[index].find("refused connection from 127.0.0.1:"), std::string::npos)
            << after[index];
    }
    ASSERT_TRUE(link.Register(list, schedule));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].NicknameText(), "listed");
}

}  // namespace
}  // namespace parlon::hostile
