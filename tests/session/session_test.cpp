// The session's timing, list and queue rules, driven through a fake host and a scripted
// center: no window, no network, no sleeping.
#include "session/parlon_session.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/utf8_text.h"
#include "crypto/encryption_context.h"
#include "session_fakes.h"
#include "support/temp_dir.h"

namespace parlon {
namespace {

using testing::CenterScript;
using testing::FakeHost;
using testing::FakeNetwork;

constexpr uint16_t kOwnPort = 9001;
constexpr uint16_t kPeerPort = 9002;

ParlonEntry Entry(uint16_t port, const char* nickname, std::string_view key = {}) {
    ParlonEntry entry;
    entry.ip = ParseIpv4("127.0.0.1");
    entry.port = port;
    entry.SetNickname(nickname);
    entry.SetPublicKey(key);
    return entry;
}

// A peer with a real key pair, made once for the whole program (key generation is slow).
const std::string& PeerKey() {
    static const std::vector<ParlonEntry> none;
    static const EncryptionContext peer(PeerAddress{ParseIpv4("127.0.0.1"), kPeerPort}, &none);
    static const std::string key = peer.GetPublicKey();
    return key;
}

CenterSchedule Schedule(uint32_t centerTime, uint32_t switchTime, uint32_t pollPeriod = 500,
                        uint32_t registerPeriod = 10000) {
    return {1, centerTime, pollPeriod, 30000, registerPeriod, switchTime};
}

class SessionTest : public ::testing::Test {
protected:
    SessionTest() {
        settings_.ownPort = kOwnPort;
        settings_.ownIp = ParseIpv4("127.0.0.1");
        settings_.nickname = "Alice";
        session_ = std::make_unique<ParlonSession>(
            host_, std::make_unique<ActivityLog>(dir_.Path() / "Activity.log"),
            network_.Services(incoming_), settings_);
        session_->Start();
    }

    // Scripts the next registrations: a list of us and a peer, with these schedules.
    void ScriptReplies(std::initializer_list<std::optional<CenterSchedule>> schedules) {
        for (const auto& schedule : schedules) {
            if (schedule) {
                network_.center.replies.push_back(
                    CenterScript::Reply{{Entry(kOwnPort, "Alice"), Entry(kPeerPort, "Dave", PeerKey())}, *schedule});
            } else {
                network_.center.replies.emplace_back(std::nullopt);
            }
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

    bool TimerRuns(uint32_t id) const { return host_.timers.count(id) != 0; }

    testing::TempDir dir_;
    GuardedQueue incoming_;
    FakeNetwork network_;
    FakeHost host_;
    ParlonSettings settings_;
    std::unique_ptr<ParlonSession> session_;
};

TEST_F(SessionTest, ConnectRegistersAndSwitchesAtTheNamedMoment) {
    ScriptReplies({Schedule(1000, 1051)});
    host_.typed.nickname = "Alicia";
    session_->OnConnect();

    EXPECT_EQ(session_->Status(), "Connected");
    EXPECT_EQ(host_.connectEnabled, false);
    EXPECT_EQ(host_.timers, (std::map<uint32_t, uint32_t>{{kSwitchTimer, 51}, {kRegisterTimer, 10000}}));
    EXPECT_TRUE(session_->ActiveParlons().empty());  // the list waits for the switch
    EXPECT_EQ(session_->NextParlons().size(), 2u);
    EXPECT_EQ(session_->Schedule().pollPeriod, 0u);  // in force only from the switch on

    session_->OnTimer(kSwitchTimer);
    EXPECT_FALSE(TimerRuns(kSwitchTimer));  // fires once
    EXPECT_EQ(host_.timers.at(kPollTimer), 500u);
    ASSERT_EQ(session_->ActiveParlons().size(), 2u);
    ASSERT_FALSE(host_.listViews.empty());
    EXPECT_EQ(host_.listViews.back()[1].NicknameText(), "Dave");

    // The own entry carries the fields read at Connect and the key of the pair in use.
    EXPECT_EQ(session_->OwnEntry().NicknameText(), "Alicia");
    EXPECT_EQ(session_->OwnEntry().port, kOwnPort);
    ASSERT_EQ(network_.center.linkEntries.size(), 1u);
    EXPECT_EQ(network_.center.linkEntries[0].PublicKeyText().size(), 398u);

    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "Alice: ***** Application started!!! *****",
                              "Alice: Initialize encryption and connecting to server...",
                              "Alicia: Registering on center.",
                              "Alicia: Switching parlon lists.",
                          }));
    EXPECT_EQ(host_.statuses, (std::vector<std::string>{"Disconnected", "Initializing Encryption...",
                                                        "Registering On Center...", "Connected"}));
}

TEST_F(SessionTest, ASwitchDueWithinFiftyMillisecondsHappensAtOnce) {
    ScriptReplies({Schedule(1000, 1050), Schedule(5000, 4000)});
    session_->OnConnect();
    EXPECT_FALSE(TimerRuns(kSwitchTimer));
    EXPECT_EQ(session_->ActiveParlons().size(), 2u);
    EXPECT_EQ(host_.timers.at(kPollTimer), 500u);

    // A switch time already past (negative delay) also switches at once.
    host_.listViews.clear();
    session_->OnTimer(kRegisterTimer);
    EXPECT_FALSE(TimerRuns(kSwitchTimer));
    EXPECT_EQ(host_.listViews.size(), 1u);
    EXPECT_EQ(session_->Schedule().switchTime, 4000u);
}

TEST_F(SessionTest, TheSameSwitchTimeChangesNoTimerAndNoListInUse) {
    CenterSchedule changed = Schedule(2000, 1050, 999, 777);
    changed.hopCount = 5;
    ScriptReplies({Schedule(1000, 1050), changed});
    session_->OnConnect();
    const auto timersBefore = host_.timers;
    const size_t startsBefore = host_.timerStarts.size();
    const size_t viewsBefore = host_.listViews.size();

    network_.center.replies[1]->parlons.pop_back();
    session_->OnTimer(kRegisterTimer);

    EXPECT_EQ(session_->Status(), "Connected");
    EXPECT_EQ(host_.timers, timersBefore);
    EXPECT_EQ(host_.timerStarts.size(), startsBefore);
    EXPECT_EQ(host_.listViews.size(), viewsBefore);
    EXPECT_EQ(session_->ActiveParlons().size(), 2u);
    EXPECT_EQ(session_->NextParlons().size(), 1u);
    EXPECT_EQ(session_->NextSchedule(), changed);
    EXPECT_EQ(session_->Schedule().registerPeriod, 10000u);
}

TEST_F(SessionTest, ChangedPeriodsRestartTheirTimersAtTheirMoments) {
    ScriptReplies({Schedule(0, 10, 500, 10000), Schedule(0, 2000, 200, 4000), Schedule(0, 10, 200, 4000)});
    session_->OnConnect();
    ASSERT_EQ(host_.timers.at(kPollTimer), 500u);

    // A new register period restarts timer 2 at once; the new poll period waits for the switch.
    session_->OnTimer(kRegisterTimer);
    EXPECT_EQ(host_.timers.at(kRegisterTimer), 4000u);
    EXPECT_EQ(host_.timers.at(kPollTimer), 500u);
    EXPECT_EQ(host_.timers.at(kSwitchTimer), 2000u);
    session_->OnTimer(kSwitchTimer);
    EXPECT_EQ(host_.timers.at(kPollTimer), 200u);

    // Unchanged periods leave their timers undisturbed.
    const size_t startsBefore = host_.timerStarts.size();
    session_->OnTimer(kRegisterTimer);
    EXPECT_EQ(host_.timerStarts.size(), startsBefore);
}

TEST_F(SessionTest, TimerPeriodsAreKeptWithinTheirBounds) {
    ScriptReplies({Schedule(0, 10, 500, 10000), Schedule(0, 20, 0, 0xFFFFFFFF)});
    session_->OnConnect();
    session_->OnTimer(kRegisterTimer);
    EXPECT_EQ(host_.timers.at(kRegisterTimer), ParlonSession::kMaxTimerPeriodMs);
    EXPECT_EQ(host_.timers.at(kPollTimer), ParlonSession::kMinTimerPeriodMs);  // a poll period of 0
}

TEST_F(SessionTest, AFailedRegistrationAtConnectReenablesConnect) {
    ScriptReplies({std::nullopt});
    session_->OnConnect();
    EXPECT_EQ(session_->Status(), "Error Reistering On Center!");
    EXPECT_EQ(host_.connectEnabled, true);
    EXPECT_TRUE(host_.timers.empty());
    EXPECT_EQ(LogLines().back(), "Alice: Registering on center.");
}

TEST_F(SessionTest, AFailedReregistrationLeavesListsAndTimersAsTheyWere) {
    ScriptReplies({Schedule(0, 10), std::nullopt});
    session_->OnConnect();
    const auto timersBefore = host_.timers;
    session_->OnTimer(kRegisterTimer);
    EXPECT_EQ(session_->Status(), "Error Reistering On Center!");
    EXPECT_EQ(host_.connectEnabled, false);
    EXPECT_EQ(host_.timers, timersBefore);
    EXPECT_EQ(session_->ActiveParlons().size(), 2u);
}

TEST_F(SessionTest, EveryConnectAnnouncesTheKeyPairInUse) {
    ScriptReplies({std::nullopt, Schedule(0, 10)});
    session_->OnConnect();
    session_->OnConnect();
    ASSERT_EQ(network_.center.linkEntries.size(), 2u);
    const std::string first(network_.center.linkEntries[0].PublicKeyText());
    const std::string second(network_.center.linkEntries[1].PublicKeyText());
    EXPECT_NE(first, second);
    EXPECT_EQ(second, std::string(session_->OwnEntry().PublicKeyText()));
    EXPECT_EQ(network_.center.signOffs, 1u);  // the first link went when the second came
}

TEST_F(SessionTest, DisconnectStopsEverythingAndSignsOff) {
    ScriptReplies({Schedule(0, 10)});
    session_->OnConnect();
    session_->OnDisconnect();
    EXPECT_TRUE(host_.timers.empty());
    EXPECT_TRUE(session_->ActiveParlons().empty());
    EXPECT_TRUE(session_->NextParlons().empty());
    EXPECT_TRUE(host_.listViews.back().empty());
    EXPECT_EQ(session_->Schedule(), CenterSchedule{});
    EXPECT_EQ(session_->NextSchedule(), CenterSchedule{});
    EXPECT_FALSE(session_->IsEncryptionLive());
    EXPECT_EQ(network_.center.signOffs, 1u);
    EXPECT_EQ(session_->Status(), "Disconnected");
    EXPECT_EQ(host_.connectEnabled, true);
    EXPECT_EQ(LogLines().back(), "Alice: Deinitialize encryption and disconnect from server...");
}

TEST_F(SessionTest, TheListenerFollowsTheOwnPort) {
    ScriptReplies({Schedule(0, 10), Schedule(0, 20)});
    session_->OnConnect();
    session_->OnDisconnect();
    session_->OnConnect();  // same port: the listener stays
    EXPECT_EQ(network_.listenerPorts, std::vector<uint16_t>{kOwnPort});

    session_->OnDisconnect();
    host_.typed.port = 40000;
    network_.center.replies.push_back(CenterScript::Reply{{}, Schedule(0, 30)});
    session_->OnConnect();
    EXPECT_EQ(network_.listenerPorts, (std::vector<uint16_t>{kOwnPort, 40000}));
    EXPECT_EQ(uint16_t{network_.center.linkEntries.back().port}, 40000);
}

TEST_F(SessionTest, AListenerThatCannotStartStopsTheConnectBeforeAnyAnnouncement) {
    network_.takenPorts = {kOwnPort};
    ScriptReplies({Schedule(0, 10)});
    session_->OnConnect();
    EXPECT_EQ(session_->Status(), "Error Listening On Port!");
    EXPECT_EQ(host_.connectEnabled, true);
    EXPECT_EQ(network_.center.registrations, 0u);
    ASSERT_EQ(host_.ErrorCount(), 1u);
    EXPECT_NE(host_.events.back().text.find("9001"), std::string::npos);
}

TEST_F(SessionTest, AListenerThatFailsLaterIsShownOnce) {
    ScriptReplies({Schedule(0, 10)});
    session_->OnConnect();
    network_.lastListener->failed = true;
    session_->OnTimer(kPollTimer);
    session_->OnTimer(kPollTimer);
    EXPECT_EQ(session_->Status(), "Error Listening On Port!");
    EXPECT_EQ(host_.ErrorCount(), 1u);
}

TEST_F(SessionTest, AMessageQueuedBeforeDisconnectLeavesAfterTheNextConnect) {
    ScriptReplies({Schedule(0, 10), Schedule(0, 20)});
    session_->OnConnect();
    session_->OnDisconnect();
    session_->QueueOutgoing(kNewMessage, 1, QueuedText("hello"));
    session_->OnTimer(kPollTimer);  // a stray tick while disconnected sends nothing
    EXPECT_TRUE(network_.center.sends.empty());
    EXPECT_EQ(session_->OutgoingCount(), 1u);

    session_->OnConnect();
    session_->OnTimer(kPollTimer);
    ASSERT_EQ(network_.center.sends.size(), 1u);
    EXPECT_EQ(uint16_t{network_.center.sends[0].first.port}, kPeerPort);  // hop count 1: straight to Dave
    EXPECT_EQ(network_.center.sends[0].second.Length(), 517u);
    EXPECT_EQ(session_->OutgoingCount(), 0u);
    EXPECT_EQ(LogLines().back(), "Alice: - Sending \"hello\" to Dave.");
}

TEST_F(SessionTest, OutgoingItemsWithoutATargetAreDroppedAndTheRestGoOut) {
    ScriptReplies({Schedule(0, 10)});
    session_->OnConnect();
    session_->QueueOutgoing(kNewMessage, 0xFFFFFFFF, QueuedText("to nobody"));  // no row selected
    session_->QueueOutgoing(kNewMessage, 2, QueuedText("past the end"));
    session_->QueueOutgoing(kReply, 4242, QueuedText("unknown id"));
    session_->QueueOutgoing(7, 1, QueuedText("unknown kind"));
    session_->QueueOutgoing(kNewMessage, 1, QueuedText(""));
    session_->OnTimer(kPollTimer);

    ASSERT_EQ(network_.center.sends.size(), 1u);  // only the empty message to Dave
    EXPECT_EQ(session_->OutgoingCount(), 0u);
    EXPECT_EQ(host_.ErrorCount(), 3u);
    const std::vector<std::string> lines = LogLines();
    EXPECT_EQ(lines[lines.size() - 2], "Alice: - Replying \"unknown id\" with Message ID 4242.");
    EXPECT_EQ(lines.back(), "Alice: - Sending \"\" to Dave.");
}

TEST_F(SessionTest, ReceivedItemsThatCannotBeOpenedAreDroppedAndDrainingGoesOn) {
    ScriptReplies({Schedule(0, 10)});
    session_->OnConnect();
    const uint8_t garbage[] = {'F', 1, 0, 0, 0, 9};
    incoming_.Push(ByteBuffer(garbage, sizeof garbage));
    incoming_.Push(ByteBuffer());
    incoming_.Push(ByteBuffer("R", 1));
    const size_t linesBefore = LogLines().size();
    session_->OnTimer(kPollTimer);
    EXPECT_TRUE(incoming_.IsEmpty());
    EXPECT_EQ(LogLines().size(), linesBefore);  // a tick that handles nothing writes nothing
    EXPECT_TRUE(host_.forms.empty());
    EXPECT_TRUE(network_.center.sends.empty());
}

// The countdown of an answer form, one tick at a time.
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

class MessageFormTest : public SessionTest {
protected:
    ByteBuffer ReceivedText(std::string_view text) { return ByteBuffer(MakeTextField(QueuedText(text).Bytes()).data(), 112); }
};

TEST_F(MessageFormTest, ThirtySecondsCountDownAndTheReplyLeavesAtZeroWhateverTheUserDid) {
    MessageForm form = MessageForm::Answer(*session_, ReceivedText("hi"), 77, 30000);
    FakeFormView view;
    form.OnInit(view);
    EXPECT_EQ(form.MessageText(), "hi");
    EXPECT_TRUE(view.countdownRunning);
    EXPECT_EQ(view.captions.front(), "Time Left:  30");

    view.reply = "early";
    form.OnOK();  // time is left: only hides
    EXPECT_TRUE(view.hidden);
    EXPECT_EQ(session_->OutgoingCount(), 0u);

    view.reply = "final words";
    for (int tick = 0; tick < 29; ++tick) {
        form.OnTimer(MessageForm::kCountdownTimer);
    }
    EXPECT_EQ(view.captions.back(), "Time Left:   1");
    EXPECT_EQ(session_->OutgoingCount(), 0u);
    form.OnTimer(MessageForm::kCountdownTimer);
    EXPECT_EQ(view.captions.back(), "Time Left:   0");
    EXPECT_EQ(session_->OutgoingCount(), 1u);
    EXPECT_FALSE(view.countdownRunning);
    EXPECT_EQ(form.ReplyText(), "final words");

    form.OnTimer(MessageForm::kCountdownTimer);  // a late tick queues nothing more
    form.OnOK();
    EXPECT_EQ(session_->OutgoingCount(), 1u);
}

TEST_F(MessageFormTest, AReplyTimeOfTwoAndAHalfSecondsQueuesOnTheThirdTick) {
    MessageForm form = MessageForm::Answer(*session_, ReceivedText("q"), 5, 2500);
    FakeFormView view;
    form.OnInit(view);
    form.OnTimer(MessageForm::kCountdownTimer);
    form.OnTimer(MessageForm::kCountdownTimer);
    EXPECT_EQ(session_->OutgoingCount(), 0u);
    form.OnTimer(MessageForm::kCountdownTimer);
    EXPECT_EQ(session_->OutgoingCount(), 1u);
    EXPECT_EQ(view.captions, (std::vector<std::string>{"Time Left:   2", "Time Left:   1",
                                                       "Time Left:   0", "Time Left:   0"}));
}

TEST_F(MessageFormTest, AReplyTimeOfZeroHasNoCountdownAndOkQueuesAtOnce) {
    MessageForm form = MessageForm::Answer(*session_, ReceivedText("q"), 5, 0);
    FakeFormView view;
    form.OnInit(view);
    EXPECT_FALSE(view.countdownRunning);
    EXPECT_TRUE(view.captions.empty());
    EXPECT_EQ(form.Caption(), "Send/Recieve Message");
    form.OnOK();
    EXPECT_EQ(session_->OutgoingCount(), 1u);
}

TEST_F(MessageFormTest, ViewShowsBothFieldsAndQueuesNothing) {
    std::string result(224, '\0');
    result.replace(0, 5, "asked");
    result.replace(112, 3, "\xFFok");
    MessageForm form = MessageForm::View(*session_, ByteBuffer(result.data(), 224));
    FakeFormView view;
    form.OnInit(view);
    EXPECT_EQ(form.MessageText(), "asked");
    EXPECT_EQ(form.ReplyText(), "\xEF\xBF\xBDok");  // invalid UTF-8 shows as U+FFFD
    form.OnOK();
    EXPECT_EQ(session_->OutgoingCount(), 0u);
    EXPECT_TRUE(view.hidden);
}

TEST_F(MessageFormTest, ComposeQueuesTheTypedTextForItsRow) {
    MessageForm form = MessageForm::Compose(*session_, 3);
    FakeFormView view;
    form.OnInit(view);
    form.OnOK();
    EXPECT_EQ(session_->OutgoingCount(), 1u);
    EXPECT_TRUE(view.hidden);
}

}  // namespace
}  // namespace parlon
