// A session driven through a fake host, so that nothing waits on a clock: its rules against a
// scripted center, the answer countdown, and several sessions at a real center on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>

#include "center/center_thread.h"
#include "common/text_field.h"
#include "common/utf8_text.h"
#include "net/center_link.h"
#include "net/net_test_support.h"
#include "net/pooled_center_link.h"
#include "session/message_form.h"
#include "session/parlon_session.h"
#include "support/temp_dir.h"

namespace parlon {
namespace {

using Timers = std::map<uint32_t, uint32_t>;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

constexpr uint16_t kDavePort = 9002;

// The text of 112-byte field `index` (the message 0, the reply 1) of a received buffer.
std::string Field(const ByteBuffer& bytes, size_t index) {
    const std::string_view all(reinterpret_cast<const char*>(bytes.Data()), bytes.Length());
    return DisplayText(all.substr(std::min(all.size(), index * kTextFieldSize), kTextFieldSize));
}

class FakeHost : public SessionHost {
  public:
    UserFields typed;  // what the user's fields hold
    Timers timers;     // the running ones: id -> period
    size_t timerStarts = 0;
    bool connectEnabled = true;
    std::vector<std::vector<ParlonEntry>> listViews;
    Lines answerForms;  // the message of each
    std::vector<uint32_t> answerIds;
    Lines viewForms;  // "message / reply"
    size_t errors = 0;
    Lines lost;  // "to: text"
    std::vector<uint16_t> listening;

    bool ReadFields(UserFields& fields) override {
        fields = typed;
        return true;
    }
    void InitFields(const std::string&, const UserFields& fields) override { typed = fields; }
    void ShowStatus(const std::string&, const std::string&, uint16_t) override {}
    void EnableConnect(bool enabled) override { connectEnabled = enabled; }
    void SetTimer(uint32_t id, uint32_t periodMs) override {
        timers[id] = periodMs;
        timerStarts += id != kExchangeTimer ? 1u : 0u;  // the session's own timers only
    }
    void KillTimer(uint32_t id) override { timers.erase(id); }
    void RebuildListView(const std::vector<ParlonEntry>& rows) override {
        listViews.push_back(rows);
    }
    void OpenAnswerForm(const ByteBuffer& text, uint32_t messageId, int32_t) override {
        answerForms.push_back(Field(text, 0));
        answerIds.push_back(messageId);
    }
    void OpenViewForm(const ByteBuffer& result) override {
        viewForms.push_back(Field(result, 0) + " / " + Field(result, 1));
    }
    void Notify(const SessionEvent& event) override {
        errors += event.kind == SessionEvent::Kind::Error ? 1u : 0u;
        if (event.kind == SessionEvent::Kind::Lost) {
            lost.push_back(event.recipient + ": " + event.text);
        } else if (event.kind == SessionEvent::Kind::Listening) {
            listening.push_back(event.port);
        }
    }
};

// A started session with a fake host, its own activity log, its own clock and a real listener
// on a free port, registering at `realCenter` when given, else at a scripted center:
// registration i gets script[i] (nullopt: unreachable) and a list of the session and "Dave"
// (its key, another port). A scripted registration is answered when the exchange timer next
// fires, unless `holdRegistrations` keeps it in flight.
struct SessionRig {
    struct Link : CenterLink {
        explicit Link(SessionRig& rig) : m_rig(rig) {}
        ~Link() override { ++m_rig.signOffs; }
        void StartRegistration() override { m_turn = m_rig.registrations++; }
        std::optional<RegistrationOutcome> TakeRegistration() override {
            if (!m_turn || m_rig.holdRegistrations) {
                return std::nullopt;
            }
            const size_t turn = *std::exchange(m_turn, std::nullopt);
            if (turn >= m_rig.script.size() || !m_rig.script[turn]) {
                return RegistrationOutcome{};
            }
            const ParlonEntry& own = m_rig.linkEntries.back();
            return RegistrationOutcome{
                true,
                {own, test::MakeEntry(kDavePort, "Dave", own.PublicKeyText())},
                *m_rig.script[turn]};
        }
        void Send(const PeerAddress& to, const ByteBuffer& packet) override {
            m_rig.sends.emplace_back(to, packet);
        }
        std::chrono::milliseconds DeliveryDeadline() const override { return 10s; }
        SessionRig& m_rig;
        std::optional<size_t> m_turn;  // the registration in flight
    };

    explicit SessionRig(const std::string& nickname = "Alice",
                        std::optional<PeerAddress> realCenter = std::nullopt,
                        std::optional<TransportDeadlines> deadlines = std::nullopt) {
        SessionServices services = SessionServices::Real();
        if (deadlines) {
            services.makeCenterLink = [pool = std::make_shared<ExchangePool>(), deadlines](
                                          const ParlonEntry& own, const PeerAddress& center) {
                return std::unique_ptr<CenterLink>(
                    std::make_unique<PooledCenterLink>(own, center, pool, *deadlines));
            };
        }
        if (!realCenter) {
            services.makeCenterLink = [this](const ParlonEntry& own, const PeerAddress&) {
                linkEntries.push_back(own);
                return std::unique_ptr<CenterLink>(std::make_unique<Link>(*this));
            };
        }
        services.incoming = &incoming;
        services.now = [this] { return now; };
        const ParlonSettings settings{0, ParseIpv4("127.0.0.1"), nickname,
                                      realCenter.value_or(PeerAddress{})};
        session = std::make_unique<ParlonSession>(
            host, std::make_unique<ActivityLog>(dir.Path() / "Activity.log"), std::move(services),
            settings);
        session->Start();
    }

    // Presses Connect and lets the exchange timer take the registration's answer.
    void Connect() {
        session->OnConnect();
        AwaitRegistration();
    }
    // Timer 2, then the exchange timer until the registration's answer has been taken.
    void Reregister() {
        session->OnTimer(kRegisterTimer);
        AwaitRegistration();
    }
    void AwaitRegistration() {
        EXPECT_TRUE(test::Eventually(
            [&] {
                if (host.timers.contains(kExchangeTimer)) {
                    session->OnTimer(kExchangeTimer);
                }
                return !host.timers.contains(kExchangeTimer);
            },
            40s));
    }

    // How often `line` stands in the activity log (time stamps left aside).
    size_t LogCount(const std::string& line) const {
        std::ifstream file(dir.Path() / "Activity.log");
        size_t count = 0;
        for (std::string logged; std::getline(file, logged);) {
            count += logged.substr(logged.find("> ") + 2) == line ? 1u : 0u;
        }
        return count;
    }

    testing::TempDir dir;
    GuardedQueue incoming;
    FakeHost host;
    std::vector<std::optional<CenterSchedule>> script;
    std::vector<ParlonEntry> linkEntries;  // the own entry each link was made with
    size_t registrations = 0;
    bool holdRegistrations = false;
    size_t signOffs = 0;
    std::chrono::steady_clock::time_point now;  // the session's clock
    std::vector<std::pair<PeerAddress, ByteBuffer>> sends;
    std::unique_ptr<ParlonSession> session;  // last: goes first
};

CenterSchedule Schedule(uint32_t centerTime, uint32_t switchTime, uint32_t pollPeriod = 500,
                        uint32_t registerPeriod = 10000) {
    return {1, centerTime, pollPeriod, 30000, registerPeriod, switchTime};
}

TEST(SessionTest, ConnectDisconnectAndConnectAgain) {
    SessionRig rig;
    rig.script = {std::nullopt, Schedule(0, 10), Schedule(0, 20)};
    rig.host.typed.nickname = "Alicia";
    rig.Connect();
    EXPECT_EQ(rig.session->Status(), "Error Reistering On Center!");
    EXPECT_TRUE(rig.host.connectEnabled);

    // Every Connect reads the fields and makes a new link announcing a new key pair.
    rig.Connect();
    EXPECT_FALSE(rig.host.connectEnabled);
    ASSERT_EQ(rig.linkEntries.size(), 2u);
    EXPECT_EQ(rig.linkEntries[1].NicknameText(), "Alicia");
    EXPECT_NE(rig.linkEntries[0].PublicKeyText(), rig.linkEntries[1].PublicKeyText());
    EXPECT_EQ(rig.linkEntries[1].PublicKeyText(), rig.session->OwnEntry().PublicKeyText());

    rig.session->OnDisconnect();
    EXPECT_TRUE(rig.host.timers.empty());
    EXPECT_TRUE(rig.session->ActiveParlons().empty());
    EXPECT_TRUE(rig.session->NextParlons().empty());
    EXPECT_TRUE(rig.host.listViews.back().empty());
    EXPECT_EQ(rig.signOffs, 2u);  // the link of each Connect
    EXPECT_EQ(rig.session->Status(), "Disconnected");
    EXPECT_TRUE(rig.host.connectEnabled);

    // What is queued meanwhile leaves after the next Connect; unusable items are dropped.
    rig.session->QueueOutgoing(kNewMessage, 1, QueuedText("hello"));
    rig.session->QueueOutgoing(kNewMessage, 2, QueuedText("past the end of the list"));
    rig.session->QueueOutgoing(kReply, 4242, QueuedText("unknown id"));
    rig.incoming.Push(ByteBuffer());  // received garbage
    rig.incoming.Push(ByteBuffer("F\x01\0\0\0\x09", 6));
    rig.session->OnTimer(kPollTimer);  // a stray tick while disconnected sends nothing
    rig.Connect();
    rig.session->OnTimer(kPollTimer);
    ASSERT_EQ(rig.sends.size(), 1u);
    EXPECT_EQ(uint16_t{rig.sends[0].first.port}, kDavePort);  // hop count 1: straight to Dave
    EXPECT_EQ(rig.host.errors, 2u);
    EXPECT_TRUE(rig.host.answerForms.empty() && rig.host.viewForms.empty());
    // The first line still has the nickname from before Connect read the fields.
    EXPECT_EQ(rig.LogCount("Alice: Initialize encryption and connecting to server..."), 1u);
    EXPECT_EQ(rig.LogCount("Alicia: Deinitialize encryption and disconnect from server..."), 1u);
    EXPECT_EQ(rig.LogCount("Alicia: - Sending \"hello\" to Dave."), 1u);
    EXPECT_EQ(rig.LogCount("Alicia: - Replying \"unknown id\" with Message ID 4242."), 1u);
}

// The first registration switches at once (timer 2 at 10000, timer 3 at 500); a second one
// brings each schedule, and then timer 1 fires if it runs.
TEST(SessionTest, EachRegistrationAppliesItsScheduleByTheRules) {
    struct Case {
        const char* what;
        std::optional<CenterSchedule> schedule;  // nullopt: the center does not answer
        Timers timers;                           // right after the second registration
        size_t starts;                           // timers (re)started by it
        bool switchesAtOnce;                     // the list in use changes at once
        Timers afterSwitch;
    };
    const Timers same{{2, 10000}, {3, 500}}, late{{1, 51}, {2, 10000}, {3, 500}};
    const Timers newPeriods{{1, 2000}, {2, 4000}, {3, 500}}, switched{{2, 4000}, {3, 200}};
    const Timers bounded{{2, 0x7FFFFFFF}, {3, 10}};
    const Case cases[] = {
        {"center unreachable", std::nullopt, same, 0, false, same},
        {"same switch time, other words", Schedule(2000, 10, 999, 777), same, 0, false, same},
        {"delay of exactly 50", Schedule(1000, 1050), same, 0, true, same},
        {"delay of 51", Schedule(1000, 1051), late, 1, false, same},
        {"negative delay", Schedule(5000, 4000), same, 0, true, same},
        {"new periods: poll waits for the switch", Schedule(0, 2000, 200, 4000), newPeriods, 2,
         false, switched},
        {"periods kept in bounds", Schedule(0, 20, 0, 0xFFFFFFFF), bounded, 2, true, bounded},
    };
    for (const Case& c : cases) {
        SessionRig rig;
        rig.script = {Schedule(0, 10), c.schedule};
        rig.Connect();
        const size_t views = rig.host.listViews.size();
        const size_t starts = rig.host.timerStarts;
        rig.Reregister();
        EXPECT_EQ(rig.host.timers, c.timers) << c.what;
        EXPECT_EQ(rig.host.timerStarts - starts, c.starts) << c.what;
        EXPECT_EQ(rig.host.listViews.size(), views + (c.switchesAtOnce ? 1 : 0)) << c.what;
        if (rig.host.timers.contains(kSwitchTimer)) {
            rig.session->OnTimer(kSwitchTimer);
            EXPECT_EQ(rig.host.listViews.size(), views + 1) << c.what;
        }
        EXPECT_EQ(rig.host.timers, c.afterSwitch) << c.what;
    }
}

class FakeFormView : public MessageFormView {
  public:
    std::string reply;  // what the user typed

    void SetCaption(const std::string&) override {}
    void Hide() override {}
    void StartCountdownTimer() override {}
    void StopCountdownTimer() override {}
    std::string MessageBoxText() override { return {}; }
    std::string ReplyBoxText() override { return reply; }
};

// An answer form queues exactly one reply, read from the box when the countdown reaches 0 or
// less, whatever the user did before: OK with time left only hides the window.
TEST(SessionTest, AnAnswerQueuesOneReplyWhenItsCountdownEnds) {
    struct Case {
        int32_t replyTimeMs;
        int ticks;  // countdown ticks until the reply is queued
        const char* firstCaption;
        const char* lastCaption;
        const char* reply;
    };
    const Case cases[] = {
        {30000, 30, "Time Left:  30", "Time Left:   0", "final words"},
        {2500, 3, "Time Left:   2", "Time Left:   0", "final words"},
        {0, 0, "Send/Recieve Message", "Send/Recieve Message", "early"},
    };
    for (const Case& c : cases) {
        SessionRig rig;
        MessageForm form = MessageForm::Answer(*rig.session, QueuedText("hi"), 77, c.replyTimeMs);
        FakeFormView view;
        form.OnInit(view);
        EXPECT_EQ(form.Caption(), c.firstCaption) << c.replyTimeMs;
        view.reply = "early";
        form.OnOK();  // with time left only hides
        view.reply = "final words";
        int ticks = 0;
        for (; rig.session->OutgoingCount() == 0 && ticks <= 30; ++ticks) {
            form.OnTimer(MessageForm::kCountdownTimer);
        }
        EXPECT_EQ(ticks, c.ticks) << c.replyTimeMs;
        EXPECT_EQ(form.Caption(), c.lastCaption) << c.replyTimeMs;
        EXPECT_EQ(form.ReplyText(), c.reply) << c.replyTimeMs;
        form.OnTimer(MessageForm::kCountdownTimer);  // a late tick or OK queues nothing more
        form.OnOK();
        EXPECT_EQ(rig.session->OutgoingCount(), 1u) << c.replyTimeMs;
    }
}

// A node at a real center. The test pumps its poll timer itself, and it answers "re: " and the
// message at once, so that nothing waits on the wall clock but the network.
struct Node : SessionRig {
    using SessionRig::SessionRig;

    void Tick() {
        session->OnTimer(kPollTimer);
        for (; answered < host.answerForms.size(); ++answered) {
            session->QueueOutgoing(kReply, host.answerIds[answered],
                                   QueuedText("re: " + host.answerForms[answered]));
        }
    }

    size_t answered = 0;
};

class SessionNetworkTest : public ::testing::TestWithParam<uint32_t> {
  protected:
    void StartNetwork(uint32_t hopCount, size_t nodeCount) {
        // Every list takes effect within 10 ms: at once.
        std::string error;
        center_ = CenterThread::Start({.hopCount = hopCount, .switchPeriod = 10}, error,
                                      [](const std::string&) {});
        ASSERT_NE(center_, nullptr) << error;
        for (size_t i = 0; i < nodeCount; ++i) {
            std::string nickname = "N";
            nickname += std::to_string(i);
            nodes_.push_back(std::make_unique<Node>(nickname, center_->Address()));
            nodes_.back()->Connect();
        }
        // Each registers again until a new switch time brings it the list of every node, in
        // the order of their first registration: node i is row i.
        for (auto& node : nodes_) {
            ASSERT_TRUE(test::Eventually([&] {
                node->Reregister();
                return node->session->ActiveParlons().size() == nodeCount;
            }));
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
    sender.session->QueueOutgoing(kNewMessage, 3, QueuedText("hello there"));
    ASSERT_TRUE(PumpUntil([&] { return !sender.host.viewForms.empty(); }));
    EXPECT_EQ(sender.host.viewForms, Lines{"hello there / re: hello there"});
    EXPECT_EQ(nodes_[3]->host.answerForms, Lines{"hello there"});
    EXPECT_EQ(nodes_[3]->LogCount("N3: - Just recieved a new message!"), 1u);
    EXPECT_EQ(sender.LogCount("N0: - Just recieved a new reply!"), 1u);
    // Each link is a forward on the way out and on the way back, except the last one out.
    size_t forwards = 0;
    for (auto& node : nodes_) {
        forwards += node->LogCount(node->session->Nickname() +
                                   ": Forwarding a message that wasn't for us to ip 127.0.0.1.");
    }
    EXPECT_EQ(forwards, 2 * (hopCount - 1));
}

INSTANTIATE_TEST_SUITE_P(HopCounts, SessionNetworkTest, ::testing::Values(1u, 2u, 3u));

// Messages are handled in the order they arrived. A message to a node that is down is reported
// lost once, when its bound has passed by the sender's clock, and so is one whose reply is late;
// the late reply is still shown, and a message whose reply came is never reported.
TEST_F(SessionNetworkTest, ALostMessageIsReportedOnceAfterItsBoundAndALateReplyStillShows) {
    StartNetwork(1, 3);
    Node& sender = *nodes_[0];
    Node& addressee = *nodes_[2];
    const auto bound = LostMessageWatch::ReplyBound(sender.session->Schedule(), 1, 10s);
    sender.session->QueueOutgoing(kNewMessage, 1, QueuedText("into the void"));
    nodes_.erase(nodes_.begin() + 1);  // N1 stops listening and signs off; lists still name it
    const Lines texts{"one", "two", "late"};
    for (size_t i = 0; i < texts.size(); ++i) {  // one a tick, so that they arrive in order
        sender.session->QueueOutgoing(kNewMessage, 2, QueuedText(texts[i]));
        sender.session->OnTimer(kPollTimer);
        ASSERT_TRUE(test::Eventually([&] { return addressee.incoming.Size() == i + 1; }));
    }
    addressee.session->OnTimer(kPollTimer);  // opens the three answer forms
    ASSERT_EQ(addressee.host.answerForms, texts);
    // The replies to "one" and "two" go back; the one to "late" waits.
    for (size_t i = 0; i < 2; ++i) {
        addressee.session->QueueOutgoing(kReply, addressee.host.answerIds[i],
                                         QueuedText("re: " + texts[i]));
    }
    ASSERT_TRUE(test::Eventually([&] {
        addressee.session->OnTimer(kPollTimer);
        sender.session->OnTimer(kPollTimer);
        return sender.host.viewForms.size() == 2;
    }));
    Lines shown = sender.host.viewForms;  // two deliveries at once may land in either order
    std::ranges::sort(shown);
    EXPECT_EQ(shown, (Lines{"one / re: one", "two / re: two"}));

    sender.now += bound - 1ms;
    sender.session->OnTimer(kPollTimer);
    EXPECT_TRUE(sender.host.lost.empty());
    sender.now += 1ms;
    sender.session->OnTimer(kPollTimer);
    sender.session->OnTimer(kPollTimer);
    EXPECT_EQ(sender.host.lost, (Lines{"N1: into the void", "N2: late"}));

    addressee.session->QueueOutgoing(kReply, addressee.host.answerIds[2], QueuedText("sorry"));
    ASSERT_TRUE(test::Eventually([&] {
        addressee.session->OnTimer(kPollTimer);
        sender.session->OnTimer(kPollTimer);
        return sender.host.viewForms.size() == 3;
    }));
    EXPECT_EQ(sender.host.viewForms.back(), "late / sorry");
    EXPECT_EQ(sender.host.lost.size(), 2u);
    EXPECT_EQ(sender.LogCount("N0: - Sending \"into the void\" to N1."), 1u);
    EXPECT_EQ(sender.host.errors, 0u);
    EXPECT_EQ(sender.session->Status(), "Connected");
}

// A next hop that never completes its connect (a host that vanished) holds up neither the
// sender's tick nor its other traffic: a message and its reply make the whole round while that
// connect still waits for its 5 s deadline.
TEST_F(SessionNetworkTest, ASilentNextHopStallsNeitherTheTickNorOtherTraffic) {
    StartNetwork(1, 3);
    Node& sender = *nodes_[0];
    const uint16_t vanishedPort = nodes_[1]->session->Port();
    nodes_.erase(nodes_.begin() + 1);
    const test::SilentPort vanished(vanishedPort);
    sender.session->QueueOutgoing(kNewMessage, 1, QueuedText("to a vanished host"));
    sender.session->QueueOutgoing(kNewMessage, 2, QueuedText("hello"));
    const auto started = std::chrono::steady_clock::now();
    sender.Tick();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    ASSERT_TRUE(PumpUntil([&] { return !sender.host.viewForms.empty(); }));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
    EXPECT_EQ(sender.host.viewForms, Lines{"hello / re: hello"});
}

// Connect hands the registration over and returns; a center that never answers ends it in the
// failure status at its deadline, and Connect is offered again.
TEST(SessionTest, ARegistrationTheCenterNeverAnswersFailsAtItsDeadline) {
    const test::SilentPort center;
    SessionRig rig("Alice", center.Address(), TransportDeadlines{1s, 1s, 1s});
    rig.session->OnConnect();
    const auto handedOver = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.session->Status(), "Registering On Center...");
    EXPECT_FALSE(rig.host.connectEnabled);
    rig.AwaitRegistration();
    EXPECT_GE(std::chrono::steady_clock::now() - handedOver, 900ms);
    EXPECT_EQ(rig.session->Status(), "Error Reistering On Center!");
    EXPECT_TRUE(rig.host.connectEnabled);
}

// While a registration waits for its answer, timer 2 starts no second one; the answer, when it
// comes, is taken once.
TEST(SessionTest, ARegistrationInFlightIsNotDoubledAndItsAnswerIsTakenOnce) {
    SessionRig rig;
    rig.script = {Schedule(0, 10), Schedule(0, 10)};
    rig.holdRegistrations = true;
    rig.session->OnConnect();
    rig.session->OnTimer(kExchangeTimer);
    rig.session->OnTimer(kRegisterTimer);
    EXPECT_EQ(rig.registrations, 1u);
    EXPECT_EQ(rig.session->Status(), "Registering On Center...");
    EXPECT_EQ(rig.LogCount("Alice: Registering on center."), 1u);
    rig.holdRegistrations = false;
    rig.AwaitRegistration();
    EXPECT_EQ(rig.session->Status(), "Connected");
    EXPECT_EQ(rig.host.listViews.size(), 1u);
    rig.session->OnTimer(kExchangeTimer);  // a stray tick after the answer changes nothing
    EXPECT_EQ(rig.host.listViews.size(), 1u);
    EXPECT_EQ(rig.registrations, 1u);
}

// Port 0 asks for a port the system picks: the session listens there, announces it and
// registers it.
TEST(SessionTest, PortZeroListensOnAPickedPortAndAnnouncesIt) {
    SessionRig rig;
    rig.script = {Schedule(0, 10)};
    rig.Connect();
    ASSERT_EQ(rig.host.listening.size(), 1u);
    EXPECT_NE(rig.host.listening[0], 0);
    EXPECT_EQ(rig.session->Port(), rig.host.listening[0]);
    EXPECT_EQ(uint16_t{rig.linkEntries.back().port}, rig.host.listening[0]);
    rig.session->OnDisconnect();
    rig.Connect();  // the listener and its port stay
    EXPECT_EQ(rig.host.listening.size(), 1u);
    EXPECT_EQ(uint16_t{rig.linkEntries.back().port}, rig.host.listening[0]);
}

}  // namespace
}  // namespace parlon
