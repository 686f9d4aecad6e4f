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
#include "net/peer_listener.h"
#include "session/message_form.h"
#include "session/parlon_session.h"
#include "support/temp_dir.h"

namespace parlon {
namespace {

using Timers = std::map<uint32_t, uint32_t>;
using Lines = std::vector<std::string>;

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
    Lines errors;
    Lines statuses;
    bool refuseFields = false;  // the user typed something the host refuses

    bool ReadFields(UserFields& fields) override {
        fields = typed;
        return !refuseFields;
    }
    void InitFields(const std::string&, const UserFields& fields) override { typed = fields; }
    void ShowStatus(const std::string& status, const std::string&, uint16_t) override {
        statuses.push_back(status);
    }
    void EnableConnect(bool enabled) override { connectEnabled = enabled; }
    void SetTimer(uint32_t id, uint32_t periodMs) override {
        timers[id] = periodMs;
        ++timerStarts;
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
        if (event.kind == SessionEvent::Kind::Error) {
            errors.push_back(event.text);
        }
    }
};

// A started session with a fake host, its own activity log and a real listener on a free port,
// registering at `realCenter` when given, else at a scripted center: registration i gets
// script[i] (nullopt: unreachable) and a list of the session and "Dave" (its key, another port).
struct SessionRig {
    struct Link : CenterLink {
        explicit Link(SessionRig& rig) : m_rig(rig) {}
        ~Link() override { ++m_rig.signOffs; }
        bool Register(std::vector<ParlonEntry>& parlons, CenterSchedule& schedule) override {
            const size_t turn = m_rig.registrations++;
            if (turn >= m_rig.script.size() || !m_rig.script[turn]) {
                return false;
            }
            const ParlonEntry& own = m_rig.linkEntries.back();
            parlons = {own, test::MakeEntry(kDavePort, "Dave", own.PublicKeyText())};
            schedule = *m_rig.script[turn];
            return true;
        }
        bool Send(const PeerAddress& to, const ByteBuffer& packet) override {
            m_rig.sends.emplace_back(to, packet);
            return true;
        }
        SessionRig& m_rig;
    };

    explicit SessionRig(const std::string& nickname = "Alice",
                        std::optional<PeerAddress> realCenter = std::nullopt,
                        bool privateLog = false,
                        const std::function<void(SessionServices&)>& adjust = {}) {
        SessionServices services = SessionServices::Real();
        if (adjust) {
            adjust(services);
        }
        if (!realCenter) {
            services.makeCenterLink = [this](const ParlonEntry& own, const PeerAddress&) {
                linkEntries.push_back(own);
                return std::unique_ptr<CenterLink>(std::make_unique<Link>(*this));
            };
        }
        services.incoming = &incoming;
        const ParlonSettings settings{test::UnusedPort().port, ParseIpv4("127.0.0.1"), nickname,
                                      realCenter.value_or(PeerAddress{}), privateLog};
        session = std::make_unique<ParlonSession>(
            host, std::make_unique<ActivityLog>(dir.Path() / "Activity.log"), std::move(services),
            settings);
        session->Start();
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
    size_t signOffs = 0;
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
    rig.session->OnConnect();
    EXPECT_EQ(rig.session->Status(), "Error Reistering On Center!");
    EXPECT_TRUE(rig.host.connectEnabled);

    // Every Connect reads the fields and makes a new link announcing a new key pair.
    rig.session->OnConnect();
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
    rig.session->OnConnect();
    rig.session->OnTimer(kPollTimer);
    ASSERT_EQ(rig.sends.size(), 1u);
    EXPECT_EQ(uint16_t{rig.sends[0].first.port}, kDavePort);  // hop count 1: straight to Dave
    EXPECT_EQ(rig.host.errors.size(), 2u);
    EXPECT_TRUE(rig.host.answerForms.empty() && rig.host.viewForms.empty());
    // The first line still has the nickname from before Connect read the fields.
    EXPECT_EQ(rig.LogCount("Alice: Initialize encryption and connecting to server..."), 1u);
    EXPECT_EQ(rig.LogCount("Alicia: Deinitialize encryption and disconnect from server..."), 1u);
    EXPECT_EQ(rig.LogCount("Alicia: - Sending \"hello\" to Dave."), 1u);
    EXPECT_EQ(rig.LogCount("Alicia: - Replying \"unknown id\" with Message ID 4242."), 1u);
}

TEST(SessionTest, ConnectShowsEachStepAndStopsAtARefusedFieldOrPortZero) {
    SessionRig rig;
    rig.script = {Schedule(0, 10)};
    for (const bool portZero : {false, true}) {
        rig.host.refuseFields = !portZero;  // a terminal refuses nothing: the port is 0
        rig.host.typed.port = portZero ? 0 : rig.host.typed.port;
        rig.session->OnConnect();
        EXPECT_TRUE(rig.host.connectEnabled) << portZero;
        EXPECT_FALSE(rig.session->IsEncryptionLive()) << portZero;
        EXPECT_EQ(rig.linkEntries.size(), 0u) << portZero;
        EXPECT_EQ(rig.host.statuses, Lines{}) << portZero;
    }
    rig.host.refuseFields = false;
    rig.host.typed.port = test::UnusedPort().port;
    rig.session->OnConnect();
    EXPECT_EQ(rig.host.statuses,
              (Lines{"Initializing Encryption...", "Registering On Center...", "Connected"}));
    EXPECT_EQ(rig.LogCount("Alice: Initialize encryption and connecting to server..."), 3u);
    EXPECT_EQ(rig.LogCount("Alice: Registering on center."), 1u);
    EXPECT_EQ(rig.LogCount("Alice: Switching parlon lists."), 1u);
}

// A listener that reports a failure when told to, and how many were started.
struct FakeListener : PeerListener {
    explicit FakeListener(bool& failed) : m_failed(failed) {}
    void Stop() override {}
    uint16_t Port() const noexcept override { return 0; }
    bool Failed() const noexcept override { return m_failed; }
    std::string FailureText() const override { return "accepting failed"; }
    bool& m_failed;
};

TEST(SessionTest, AFailedListenerIsRestartedBeforeARegistrationAndNeverAnnounced) {
    bool failed = false;
    bool portTaken = false;
    size_t starts = 0;
    SessionRig rig("Alice", std::nullopt, false, [&](SessionServices& services) {
        services.startListener = [&](const PeerAddress& own, GuardedQueue&, std::string& error) {
            if (portTaken) {
                error = "cannot listen on port " + std::to_string(own.port) + ": taken";
                return std::unique_ptr<PeerListener>();
            }
            ++starts;
            failed = false;
            return std::unique_ptr<PeerListener>(std::make_unique<FakeListener>(failed));
        };
    });
    rig.host.typed.port = 7001;
    rig.script = {Schedule(0, 10), Schedule(0, 10), Schedule(0, 10)};
    rig.session->OnConnect();
    ASSERT_EQ(rig.registrations, 1u);
    failed = true;
    portTaken = true;
    rig.session->OnTimer(kPollTimer);
    rig.session->OnTimer(kRegisterTimer);
    rig.session->OnTimer(kRegisterTimer);
    EXPECT_EQ(rig.registrations, 1u);  // not announced while it cannot listen
    EXPECT_EQ(rig.session->Status(), "Error Listening On Port!");
    EXPECT_EQ(rig.host.errors, Lines{"listener on port 0 stopped: accepting failed"});
    portTaken = false;
    rig.session->OnTimer(kRegisterTimer);
    EXPECT_EQ(starts, 2u);  // at Connect, and once more when the port was free again
    EXPECT_EQ(rig.registrations, 2u);
    EXPECT_EQ(rig.session->Status(), "Connected");
    // A new own address is listened on: a Connect starts the listener afresh.
    rig.session->OnDisconnect();
    rig.host.typed.ip = ParseIpv4("127.0.0.2");
    rig.session->OnConnect();
    EXPECT_EQ(starts, 3u);
    // A Connect on a taken port says so once, in the listener's words.
    portTaken = true;
    rig.session->OnDisconnect();
    rig.host.typed.port = 7002;
    rig.session->OnConnect();
    rig.session->OnTimer(kRegisterTimer);
    EXPECT_EQ(rig.host.errors.back(), "cannot listen on port 7002: taken");
    EXPECT_EQ(rig.host.errors.size(), 2u);
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
        rig.session->OnConnect();
        const size_t views = rig.host.listViews.size();
        const size_t starts = rig.host.timerStarts;
        rig.session->OnTimer(kRegisterTimer);
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
    void StartNetwork(uint32_t hopCount, size_t nodeCount, bool privateLogs = false) {
        // Every list takes effect within 10 ms: at once.
        std::string error;
        center_ = CenterThread::Start({.hopCount = hopCount, .switchPeriod = 10}, error,
                                      [](const std::string&) {});
        ASSERT_NE(center_, nullptr) << error;
        for (size_t i = 0; i < nodeCount; ++i) {
            nodes_.push_back(
                std::make_unique<Node>("N" + std::to_string(i), center_->Address(), privateLogs));
            nodes_.back()->session->OnConnect();
        }
        // Each registers again until a new switch time brings it the list of every node, in
        // the order of their first registration: node i is row i.
        for (auto& node : nodes_) {
            ASSERT_TRUE(test::Eventually([&] {
                node->session->OnTimer(kRegisterTimer);
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

TEST_F(SessionNetworkTest, APrivateLogHoldsNoTextRecipientOrAddress) {
    StartNetwork(3, 4, true);
    Node& sender = *nodes_.front();
    sender.session->QueueOutgoing(kNewMessage, 3, QueuedText("hello there"));
    ASSERT_TRUE(PumpUntil([&] { return !sender.host.viewForms.empty(); }));
    EXPECT_EQ(sender.LogCount("N0: - Sending a message."), 1u);
    EXPECT_EQ(nodes_[3]->LogCount("N3: - Replying to a message."), 1u);
    size_t forwards = 0;
    for (auto& node : nodes_) {
        const std::string own = node->session->Nickname();
        forwards += node->LogCount(own + ": Forwarding a message that wasn't for us.");
        std::ifstream file(node->dir.Path() / "Activity.log");
        for (std::string line; std::getline(file, line);) {
            for (const char* secret : {"hello", "re:", "127.0.0.1", "N0", "N1", "N2", "N3"}) {
                EXPECT_TRUE(line.find(secret, line.find("> ") + 2 + own.size()) ==
                            std::string::npos)
                    << line;
            }
        }
    }
    EXPECT_EQ(forwards, 4u);
}

// Messages that arrive before one poll tick are handled in arrival order; one to a node that is
// down is lost, and nothing else happens.
TEST_F(SessionNetworkTest, ItemsOfOneTickAreHandledInArrivalOrderAndOneToADownNodeIsLost) {
    StartNetwork(1, 3);
    Node& sender = *nodes_[0];
    Node& addressee = *nodes_[2];
    sender.session->QueueOutgoing(kNewMessage, 1, QueuedText("lost"));
    nodes_.erase(nodes_.begin() + 1);  // N1 stops listening and signs off; lists still name it
    const Lines texts{"one", "two", "three"};
    for (const std::string& text : texts) {
        sender.session->QueueOutgoing(kNewMessage, 2, QueuedText(text));
    }
    sender.session->OnTimer(kPollTimer);  // sends each, one connection after another
    ASSERT_TRUE(test::Eventually([&] { return addressee.incoming.Size() == 3; }));
    addressee.session->OnTimer(kPollTimer);
    EXPECT_EQ(addressee.host.answerForms, texts);
    EXPECT_EQ(sender.LogCount("N0: - Sending \"lost\" to N1."), 1u);
    EXPECT_EQ(sender.host.errors, Lines{});
    EXPECT_EQ(sender.session->Status(), "Connected");
}

}  // namespace
}  // namespace parlon
