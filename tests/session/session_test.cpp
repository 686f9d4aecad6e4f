// The session's timing, list and queue rules, driven through a fake host and a scripted
// center: no window, no network, no sleeping.
#include "session/parlon_session.h"

#include <gtest/gtest.h>

#include <fstream>

#include "common/text_field.h"
#include "common/utf8_text.h"
#include "crypto/encryption_context.h"
#include "session_fakes.h"
#include "support/temp_dir.h"

namespace parlon {
namespace {

using testing::FakeHost;
using testing::FakeNetwork;
using Timers = std::map<uint32_t, uint32_t>;

constexpr uint16_t kOwnPort = 9001;
constexpr uint16_t kPeerPort = 9002;

// A peer with a real key pair, made once for the whole program (key generation is slow).
ParlonEntry Peer() {
    static const std::vector<ParlonEntry> none;
    static const EncryptionContext peer(PeerAddress{ParseIpv4("127.0.0.1"), kPeerPort}, &none);
    ParlonEntry entry;
    entry.ip = ParseIpv4("127.0.0.1");
    entry.port = kPeerPort;
    entry.SetNickname("Dave");
    entry.SetPublicKey(peer.GetPublicKey());
    return entry;
}

CenterSchedule Schedule(uint32_t centerTime, uint32_t switchTime, uint32_t pollPeriod = 500,
                        uint32_t registerPeriod = 10000) {
    return {1, centerTime, pollPeriod, 30000, registerPeriod, switchTime};
}

// A session with a fake host and a scripted center.
struct SessionRig {
    SessionRig() {
        ParlonSettings settings;
        settings.ownPort = kOwnPort;
        settings.ownIp = ParseIpv4("127.0.0.1");
        settings.nickname = "Alice";
        session_ = std::make_unique<ParlonSession>(host_, std::make_unique<ActivityLog>(dir_.Path() / "Activity.log"),
                                                   network_.Services(incoming_), settings);
        session_->Start();
    }

    // Scripts the next registrations: a list of us and Dave with each schedule, or unreachable.
    void Script(std::initializer_list<std::optional<CenterSchedule>> schedules) {
        ParlonEntry self;
        self.ip = ParseIpv4("127.0.0.1");
        self.port = kOwnPort;
        for (const auto& schedule : schedules) {
            network_.replies.push_back(schedule ? std::optional(FakeNetwork::Reply{{self, Peer()}, *schedule})
                                                : std::nullopt);
        }
    }

    std::vector<std::string> LogLines() const {
        std::ifstream file(dir_.Path() / "Activity.log");
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);) {
            lines.push_back(line.substr(line.find("> ") + 2));  // without the time stamp
        }
        return lines;
    }

    parlon::testing::TempDir dir_;
    GuardedQueue incoming_;
    FakeNetwork network_;
    FakeHost host_;
    std::unique_ptr<ParlonSession> session_;
};

class SessionTest : public ::testing::Test, public SessionRig {};

TEST_F(SessionTest, ConnectRegistersAndSwitchesAtTheNamedMoment) {
    Script({Schedule(1000, 1051)});
    host_.typed.nickname = "Alicia";
    session_->OnConnect();

    EXPECT_EQ(session_->Status(), "Connected");
    EXPECT_FALSE(host_.connectEnabled);
    EXPECT_EQ(host_.timers, (Timers{{kSwitchTimer, 51}, {kRegisterTimer, 10000}}));
    EXPECT_TRUE(session_->ActiveParlons().empty());  // the list waits for the switch

    session_->OnTimer(kSwitchTimer);
    EXPECT_EQ(host_.timers, (Timers{{kRegisterTimer, 10000}, {kPollTimer, 500}}));  // 1 fires once
    ASSERT_EQ(session_->ActiveParlons().size(), 2u);
    EXPECT_EQ(host_.listViews.back()[1].NicknameText(), "Dave");

    // The center learns the fields read at Connect and the key of the pair in use.
    ASSERT_EQ(network_.linkEntries.size(), 1u);
    EXPECT_EQ(network_.linkEntries[0].NicknameText(), "Alicia");
    EXPECT_EQ(network_.linkEntries[0].PublicKeyText().size(), 398u);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Alice: ***** Application started!!! *****",
                                                    "Alice: Initialize encryption and connecting to server...",
                                                    "Alicia: Registering on center.",
                                                    "Alicia: Switching parlon lists."}));
    EXPECT_EQ(host_.statuses, (std::vector<std::string>{"Disconnected", "Initializing Encryption...",
                                                        "Registering On Center...", "Connected"}));
}

// After a first registration that switched at once (timers 2 at 10000 and 3 at 500), a
// re-registration brings each of these schedules.
TEST_F(SessionTest, EachReregistrationAppliesItsScheduleByTheRules) {
    struct Case {
        const char* what;
        CenterSchedule schedule;
        Timers timers;
        bool switches;
    };
    CenterSchedule sameSwitchTime = Schedule(2000, 10, 999, 777);
    sameSwitchTime.hopCount = 5;
    const Case cases[] = {
        {"same switch time, other words", sameSwitchTime, {{2, 10000}, {3, 500}}, false},
        {"delay of exactly 50", Schedule(1000, 1050), {{2, 10000}, {3, 500}}, true},
        {"delay of 51", Schedule(1000, 1051), {{1, 51}, {2, 10000}, {3, 500}}, false},
        {"negative delay", Schedule(5000, 4000), {{2, 10000}, {3, 500}}, true},
        {"new periods: poll waits for the switch", Schedule(0, 2000, 200, 4000), {{1, 2000}, {2, 4000}, {3, 500}}, false},
        {"periods kept in bounds", Schedule(0, 20, 0, 0xFFFFFFFF), {{2, 0x7FFFFFFF}, {3, 10}}, true},
    };
    for (const Case& c : cases) {
        SessionRig fresh;
        fresh.Script({Schedule(0, 10), c.schedule});
        fresh.session_->OnConnect();
        const size_t views = fresh.host_.listViews.size();
        const size_t starts = fresh.host_.timerStarts;
        fresh.session_->OnTimer(kRegisterTimer);
        EXPECT_EQ(fresh.host_.timers, c.timers) << c.what;
        EXPECT_EQ(fresh.host_.listViews.size(), views + (c.switches ? 1 : 0)) << c.what;
        EXPECT_EQ(fresh.session_->NextSchedule(), c.schedule) << c.what;
        if (c.timers == Timers{{2, 10000}, {3, 500}} && !c.switches) {
            EXPECT_EQ(fresh.host_.timerStarts, starts) << c.what << ": running timers disturbed";
        }
    }
}

TEST_F(SessionTest, FailedRegistrationsChangeOnlyTheStatusAndTheButtons) {
    Script({std::nullopt, Schedule(0, 10), std::nullopt});
    session_->OnConnect();
    EXPECT_EQ(session_->Status(), "Error Reistering On Center!");
    EXPECT_TRUE(host_.connectEnabled);
    EXPECT_TRUE(host_.timers.empty());
    EXPECT_EQ(LogLines().back(), "Alice: Registering on center.");

    // Every Connect makes a new link announcing the key pair in use; the old one signs off.
    session_->OnConnect();
    ASSERT_EQ(network_.linkEntries.size(), 2u);
    EXPECT_NE(network_.linkEntries[0].PublicKeyText(), network_.linkEntries[1].PublicKeyText());
    EXPECT_EQ(network_.linkEntries[1].PublicKeyText(), session_->OwnEntry().PublicKeyText());
    EXPECT_EQ(network_.signOffs, 1u);

    const Timers running = host_.timers;
    session_->OnTimer(kRegisterTimer);  // fails while registered: lists and timers stay
    EXPECT_EQ(session_->Status(), "Error Reistering On Center!");
    EXPECT_FALSE(host_.connectEnabled);
    EXPECT_EQ(host_.timers, running);
    EXPECT_EQ(session_->ActiveParlons().size(), 2u);
}

TEST_F(SessionTest, DisconnectStopsEverythingAndSignsOff) {
    Script({Schedule(0, 10)});
    session_->OnConnect();
    session_->OnDisconnect();
    EXPECT_TRUE(host_.timers.empty());
    EXPECT_TRUE(session_->ActiveParlons().empty());
    EXPECT_TRUE(session_->NextParlons().empty());
    EXPECT_TRUE(host_.listViews.back().empty());
    EXPECT_EQ(session_->Schedule(), CenterSchedule{});
    EXPECT_FALSE(session_->IsEncryptionLive());
    EXPECT_EQ(network_.signOffs, 1u);
    EXPECT_EQ(session_->Status(), "Disconnected");
    EXPECT_TRUE(host_.connectEnabled);
    EXPECT_EQ(LogLines().back(), "Alice: Deinitialize encryption and disconnect from server...");
}

TEST_F(SessionTest, TheListenerFollowsTheOwnPortAndItsFailuresAreShown) {
    Script({Schedule(0, 10), Schedule(0, 20), Schedule(0, 30)});
    session_->OnConnect();
    session_->OnDisconnect();
    session_->OnConnect();  // same port: the listener stays
    session_->OnDisconnect();
    host_.typed.port = 40000;
    session_->OnConnect();
    EXPECT_EQ(network_.listenerPorts, (std::vector<uint16_t>{kOwnPort, 40000}));
    EXPECT_EQ(uint16_t{network_.linkEntries.back().port}, 40000);

    network_.listenerFailed = true;  // fails later: shown once
    session_->OnTimer(kPollTimer);
    session_->OnTimer(kPollTimer);
    EXPECT_EQ(session_->Status(), "Error Listening On Port!");
    EXPECT_EQ(host_.errors.size(), 1u);

    // A port that cannot be listened on is never announced.
    session_->OnDisconnect();
    network_.takenPort = 40001;
    host_.typed.port = 40001;
    const size_t registrations = network_.registrations;
    session_->OnConnect();
    EXPECT_EQ(session_->Status(), "Error Listening On Port!");
    EXPECT_TRUE(host_.connectEnabled);
    EXPECT_EQ(network_.registrations, registrations);
    EXPECT_NE(host_.errors.back().find("40001"), std::string::npos);
}

TEST_F(SessionTest, AMessageQueuedBeforeDisconnectLeavesAfterTheNextConnect) {
    Script({Schedule(0, 10), Schedule(0, 20)});
    session_->OnConnect();
    session_->OnDisconnect();
    session_->QueueOutgoing(kNewMessage, 1, QueuedText("hello"));
    session_->OnTimer(kPollTimer);  // a stray tick while disconnected sends nothing
    EXPECT_EQ(session_->OutgoingCount(), 1u);

    session_->OnConnect();
    session_->OnTimer(kPollTimer);
    ASSERT_EQ(network_.sends.size(), 1u);
    EXPECT_EQ(uint16_t{network_.sends[0].first.port}, kPeerPort);  // hop count 1: straight to Dave
    EXPECT_EQ(network_.sends[0].second.Length(), 517u);
    EXPECT_EQ(LogLines().back(), "Alice: - Sending \"hello\" to Dave.");
}

TEST_F(SessionTest, UnusableItemsAreDroppedAndTheRestGoOn) {
    Script({Schedule(0, 10)});
    session_->OnConnect();
    session_->QueueOutgoing(kNewMessage, 0xFFFFFFFF, QueuedText("to nobody"));  // no row selected
    session_->QueueOutgoing(kNewMessage, 2, QueuedText("past the end"));
    session_->QueueOutgoing(kReply, 4242, QueuedText("unknown id"));
    session_->QueueOutgoing(7, 1, QueuedText("unknown kind"));
    session_->QueueOutgoing(kNewMessage, 1, QueuedText(""));
    const uint8_t garbage[] = {'F', 1, 0, 0, 0, 9};
    for (const ByteBuffer& received : {ByteBuffer(garbage, sizeof garbage), ByteBuffer(), ByteBuffer("R", 1)}) {
        incoming_.Push(received);
    }
    session_->OnTimer(kPollTimer);

    EXPECT_TRUE(incoming_.IsEmpty());
    EXPECT_TRUE(host_.forms.empty());
    ASSERT_EQ(network_.sends.size(), 1u);  // only the empty message to Dave
    EXPECT_EQ(session_->OutgoingCount(), 0u);
    EXPECT_EQ(host_.errors.size(), 3u);
    const std::vector<std::string> lines = LogLines();
    EXPECT_EQ(lines[lines.size() - 2], "Alice: - Replying \"unknown id\" with Message ID 4242.");
    EXPECT_EQ(lines.back(), "Alice: - Sending \"\" to Dave.");
}

class FakeFormView : public MessageFormView {
public:
    std::vector<std::string> captions;
    bool hidden = false;
    bool countdownRunning = false;
    std::string reply;

    void SetCaption(const std::string& caption) override { captions.push_back(caption); }
    void Hide() override { hidden = true; }
    void StartCountdownTimer() override { countdownRunning = true; }
    void StopCountdownTimer() override { countdownRunning = false; }
    std::string MessageBoxText() override { return "typed message"; }
    std::string ReplyBoxText() override { return reply; }
};

ByteBuffer ReceivedText(std::string_view text) {
    return ByteBuffer(MakeTextField(QueuedText(text).Bytes()).data(), kTextFieldSize);
}

TEST_F(SessionTest, AnAnswerCountsDownAndItsReplyLeavesAtZeroWhateverTheUserDid) {
    MessageForm form = MessageForm::Answer(*session_, ReceivedText("hi"), 77, 30000);
    FakeFormView view;
    form.OnInit(view);
    EXPECT_EQ(form.MessageText(), "hi");
    EXPECT_EQ(view.captions.front(), "Time Left:  30");
    view.reply = "early";
    form.OnOK();  // time is left: only hides
    EXPECT_TRUE(view.hidden);
    view.reply = "final words";
    for (int tick = 1; tick < 30; ++tick) {
        form.OnTimer(MessageForm::kCountdownTimer);
    }
    EXPECT_EQ(view.captions.back(), "Time Left:   1");
    EXPECT_EQ(session_->OutgoingCount(), 0u);
    form.OnTimer(MessageForm::kCountdownTimer);
    EXPECT_EQ(view.captions.back(), "Time Left:   0");
    EXPECT_EQ(session_->OutgoingCount(), 1u);
    EXPECT_EQ(form.ReplyText(), "final words");
    EXPECT_FALSE(view.countdownRunning);
    form.OnTimer(MessageForm::kCountdownTimer);  // a late tick or OK queues nothing more
    form.OnOK();
    EXPECT_EQ(session_->OutgoingCount(), 1u);
}

TEST_F(SessionTest, ShortAndZeroReplyTimes) {
    MessageForm partSeconds = MessageForm::Answer(*session_, ReceivedText("q"), 5, 2500);
    FakeFormView view;
    partSeconds.OnInit(view);
    for (int tick = 0; tick < 3; ++tick) {
        EXPECT_EQ(session_->OutgoingCount(), 0u);
        partSeconds.OnTimer(MessageForm::kCountdownTimer);
    }
    EXPECT_EQ(session_->OutgoingCount(), 1u);  // queued on the third tick
    EXPECT_EQ(view.captions, (std::vector<std::string>{"Time Left:   2", "Time Left:   1", "Time Left:   0",
                                                       "Time Left:   0"}));

    MessageForm noTime = MessageForm::Answer(*session_, ReceivedText("q"), 6, 0);
    FakeFormView noTimeView;
    noTime.OnInit(noTimeView);
    EXPECT_FALSE(noTimeView.countdownRunning);
    EXPECT_EQ(noTime.Caption(), "Send/Recieve Message");
    noTime.OnOK();
    EXPECT_EQ(session_->OutgoingCount(), 2u);
}

TEST_F(SessionTest, ComposeQueuesItsTextAndViewQueuesNothing) {
    std::string result(224, '\0');
    result.replace(0, 5, "asked");
    result.replace(112, 3, "\xFFok");
    MessageForm view = MessageForm::View(*session_, ByteBuffer(result.data(), 224));
    FakeFormView viewWindow;
    view.OnInit(viewWindow);
    EXPECT_EQ(view.MessageText(), "asked");
    EXPECT_EQ(view.ReplyText(), "\xEF\xBF\xBDok");  // invalid UTF-8 shows as U+FFFD
    view.OnOK();
    EXPECT_EQ(session_->OutgoingCount(), 0u);

    MessageForm compose = MessageForm::Compose(*session_, 3);
    FakeFormView composeWindow;
    compose.OnInit(composeWindow);
    compose.OnOK();
    EXPECT_EQ(session_->OutgoingCount(), 1u);
    EXPECT_TRUE(composeWindow.hidden);
}

}  // namespace
}  // namespace parlon
