// Several sessions in one process, each with its real key pair, listener and transport,
// registered at a real center on loopback. The test pumps each node's poll timer itself and
// answers every received message at once, so nothing waits on the wall clock but the network.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "center/center_thread.h"
#include "common/utf8_text.h"
#include "net/net_test_support.h"
#include "session/message_form.h"
#include "session/parlon_session.h"
#include "session_fakes.h"
#include "support/temp_dir.h"

namespace parlon {
namespace {

using testing::FakeHost;

// Answers an answer form at once with a fixed text.
class InstantReplyView : public MessageFormView {
public:
    explicit InstantReplyView(std::string reply) : m_reply(std::move(reply)) {}
    void SetCaption(const std::string&) override {}
    void Hide() override {}
    void StartCountdownTimer() override {}
    void StopCountdownTimer() override {}
    std::string MessageBoxText() override { return {}; }
    std::string ReplyBoxText() override { return m_reply; }

private:
    std::string m_reply;
};

struct Node {
    Node(const std::string& nickname, const PeerAddress& center) {
        ParlonSettings settings;
        settings.nickname = nickname;
        settings.ownIp = ParseIpv4("127.0.0.1");
        settings.ownPort = test::UnusedPort().port;
        settings.center = center;
        SessionServices services = SessionServices::Real();
        services.incoming = &incoming;
        session = std::make_unique<ParlonSession>(
            host, std::make_unique<ActivityLog>(dir.Path() / "Activity.log"), std::move(services), settings);
        session->Start();
    }

    // One poll tick, then an immediate answer to every message that arrived in it.
    void Tick() {
        if (session == nullptr) {
            return;  // this node is down
        }
        session->OnTimer(kPollTimer);
        for (; answered < host.forms.size(); ++answered) {
            const FakeHost::Form& form = host.forms[answered];
            if (form.mode == FormMode::Answer) {
                InstantReplyView view("re: " + DisplayText(std::string_view(
                                                   reinterpret_cast<const char*>(form.bytes.Data()),
                                                   form.bytes.Length())));
                MessageForm answer = MessageForm::Answer(*session, form.bytes, form.messageId, 0);
                answer.OnInit(view);
                answer.OnOK();
            }
        }
    }

    std::vector<const FakeHost::Form*> FormsOf(FormMode mode) const {
        std::vector<const FakeHost::Form*> found;
        for (const FakeHost::Form& form : host.forms) {
            if (form.mode == mode) {
                found.push_back(&form);
            }
        }
        return found;
    }

    size_t LogCount(std::string_view needle) const {
        std::ifstream file(dir.Path() / "Activity.log");
        size_t count = 0;
        for (std::string line; std::getline(file, line);) {
            count += line.find(needle) != std::string::npos ? 1u : 0u;
        }
        return count;
    }

    // The row of `other` in this node's list in use.
    uint32_t RowOf(const Node& other) const {
        const auto& list = session->ActiveParlons();
        for (uint32_t row = 0; row < list.size(); ++row) {
            if (list[row].port == other.session->Port()) {
                return row;
            }
        }
        ADD_FAILURE() << "no row for port " << other.session->Port();
        return 0;
    }

    parlon::testing::TempDir dir;
    FakeHost host;
    GuardedQueue incoming;
    std::unique_ptr<ParlonSession> session;
    size_t answered = 0;
};

class SessionNetworkTest : public ::testing::TestWithParam<uint32_t> {
protected:
    void StartNetwork(uint32_t hopCount, size_t nodeCount) {
        CenterSettings settings;
        settings.hopCount = hopCount;
        settings.pollPeriod = 10;
        settings.replyTime = 0;
        settings.registerPeriod = 60000;
        settings.switchPeriod = 10;  // every list takes effect within 10 ms: at once
        settings.expire = 600000;
        std::string error;
        center_ = CenterThread::Start(settings, error, [](const std::string&) {});
        ASSERT_NE(center_, nullptr) << error;
        for (size_t i = 0; i < nodeCount; ++i) {
            nodes_.push_back(std::make_unique<Node>("N" + std::to_string(i), center_->Address()));
            nodes_.back()->session->OnConnect();
            ASSERT_EQ(nodes_.back()->session->Status(), "Connected");
        }
        // Register again, each with a fresh switch time, until every node sees every node.
        for (auto& node : nodes_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
            node->session->OnTimer(kRegisterTimer);
            ASSERT_EQ(node->session->ActiveParlons().size(), nodeCount);
        }
    }

    // Ticks every node until `done` holds or five seconds pass.
    bool PumpUntil(const std::function<bool()>& done) {
        return test::Eventually([&] {
            for (auto& node : nodes_) {
                node->Tick();
            }
            return done();
        });
    }

    std::unique_ptr<CenterThread> center_;
    std::vector<std::unique_ptr<Node>> nodes_;
};

TEST_P(SessionNetworkTest, AMessageReachesItsAddresseeAndTheReplyComesBack) {
    const uint32_t hopCount = GetParam();
    StartNetwork(hopCount, 4);
    Node& sender = *nodes_.front();
    Node& addressee = *nodes_.back();
    sender.session->QueueOutgoing(kNewMessage, sender.RowOf(addressee), QueuedText("hello there"));

    ASSERT_TRUE(PumpUntil([&] { return !sender.FormsOf(FormMode::View).empty(); }));
    const auto views = sender.FormsOf(FormMode::View);
    ASSERT_EQ(views.size(), 1u);
    const ByteBuffer& result = views[0]->bytes;
    ASSERT_EQ(result.Length(), 224u);
    EXPECT_EQ(DisplayText({reinterpret_cast<const char*>(result.Data()), 112}), "hello there");
    EXPECT_EQ(DisplayText({reinterpret_cast<const char*>(result.Data()) + 112, 112}), "re: hello there");

    EXPECT_EQ(addressee.FormsOf(FormMode::Answer).size(), 1u);
    EXPECT_EQ(addressee.LogCount(": - Just recieved a new message!"), 1u);
    EXPECT_EQ(sender.LogCount(": - Just recieved a new reply!"), 1u);
    // Each link is a forward on the way out and on the way back, except the last one out.
    size_t forwards = 0;
    for (auto& node : nodes_) {
        forwards += node->LogCount("Forwarding a message that wasn't for us");
    }
    EXPECT_EQ(forwards, 2 * (hopCount - 1));
}

INSTANTIATE_TEST_SUITE_P(HopCounts, SessionNetworkTest, ::testing::Values(1u, 2u, 3u));

TEST_F(SessionNetworkTest, ThreeItemsReceivedInOneTickAreHandledInArrivalOrder) {
    StartNetwork(1, 2);
    Node& sender = *nodes_[0];
    Node& addressee = *nodes_[1];
    for (const char* text : {"one", "two", "three"}) {
        sender.session->QueueOutgoing(kNewMessage, sender.RowOf(addressee), QueuedText(text));
    }
    sender.session->OnTimer(kPollTimer);  // sends the three, one connection after another
    ASSERT_TRUE(test::Eventually([&] { return addressee.incoming.Size() == 3; }));

    addressee.session->OnTimer(kPollTimer);
    const auto answers = addressee.FormsOf(FormMode::Answer);
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[0]->bytes.TextUpToNul(), "one");
    EXPECT_EQ(answers[1]->bytes.TextUpToNul(), "two");
    EXPECT_EQ(answers[2]->bytes.TextUpToNul(), "three");
}

TEST_F(SessionNetworkTest, AMessageToANodeThatIsDownIsLostAndNothingElseHappens) {
    StartNetwork(1, 3);
    Node& sender = *nodes_[0];
    const uint32_t downRow = sender.RowOf(*nodes_[1]);
    const uint32_t upRow = sender.RowOf(*nodes_[2]);
    nodes_[1]->session.reset();  // stops its listener and signs off; the lists still name it

    sender.session->QueueOutgoing(kNewMessage, downRow, QueuedText("lost"));
    sender.session->QueueOutgoing(kNewMessage, upRow, QueuedText("delivered"));
    ASSERT_TRUE(PumpUntil([&] { return !sender.FormsOf(FormMode::View).empty(); }));
    EXPECT_EQ(sender.LogCount(": - Sending \"lost\" to N1."), 1u);
    EXPECT_TRUE(sender.host.errors.empty());
    EXPECT_EQ(sender.session->Status(), "Connected");
    EXPECT_EQ(nodes_[2]->FormsOf(FormMode::Answer).size(), 1u);
}

}  // namespace
}  // namespace parlon
