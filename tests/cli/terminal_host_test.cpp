// The terminal host driven as the session and the user would drive it, with fake timers and no
// network: the session is never connected, so what reaches its outgoing queue is what the host
// handed over.
#include "cli/terminal_host.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/text_field.h"
#include "fake_timer_factory.h"
#include "queue/guarded_queue.h"
#include "support/temp_dir.h"

namespace parlon {
namespace {

ParlonEntry Entry(uint16_t port, std::string_view nickname) {
    ParlonEntry entry;
    entry.ip = ParseIpv4("127.0.0.1");
    entry.port = port;
    entry.SetNickname(nickname);
    return entry;
}

// A received text field: `text` and zero filler to 112 bytes.
ByteBuffer Field(std::string_view text) {
    ByteBuffer field(static_cast<uint32_t>(kTextFieldSize));
    std::copy(text.begin(), text.end(), field.MutableData());
    return field;
}

class TerminalHostTest : public ::testing::Test {
  protected:
    void MakeHost(std::optional<std::string> autoReply) {
        session_.reset();
        host_ = std::make_unique<TerminalHost>(
            UserFields{"Tester", ParseIpv4("127.0.0.1"), 9001}, timers_,
            [this](const NodeEvent& event) { events_.push_back(event); }, std::move(autoReply));
        SessionServices services;
        services.incoming = &incoming_;
        ParlonSettings settings;
        settings.nickname = "Tester";
        session_ = std::make_unique<ParlonSession>(
            *host_, std::make_unique<ActivityLog>(dir_.Path() / "Activity.log"), services,
            settings);
        host_->Attach(*session_);
    }

    void SetUp() override { MakeHost(std::nullopt); }

    TerminalHost::Outcome Run(CommandKind kind, uint32_t number = 0, std::string text = {}) {
        return host_->Execute(Command{kind, number, std::move(text)});
    }

    template <typename Event>
    std::vector<Event> EventsOf() const {
        std::vector<Event> found;
        for (const NodeEvent& event : events_) {
            if (const Event* match = std::get_if<Event>(&event)) {
                found.push_back(*match);
            }
        }
        return found;
    }

    size_t Queued() const { return session_->OutgoingCount(); }
    std::string Log() const { return dir_.Read("Activity.log"); }

    testing::TempDir dir_;
    testing::FakeTimerFactory timers_;
    GuardedQueue incoming_;
    std::vector<NodeEvent> events_;
    std::unique_ptr<TerminalHost> host_;
    std::unique_ptr<ParlonSession> session_;
};

TEST_F(TerminalHostTest, StartShowsTheDisconnectedStatus) {
    session_->Start();
    ASSERT_EQ(EventsOf<StatusEvent>().size(), 1u);
    EXPECT_EQ(EventsOf<StatusEvent>()[0].text, "Disconnected");
    EXPECT_NE(Log().find("Tester: ***** Application started!!! *****"), std::string::npos);
}

TEST_F(TerminalHostTest, SendQueuesAMessageToARowOfTheListShown) {
    host_->RebuildListView({Entry(9001, "A"), Entry(9002, "B")});
    ASSERT_EQ(EventsOf<ListEvent>().size(), 1u);
    EXPECT_EQ(EventsOf<ListEvent>()[0].parlons.size(), 2u);

    Run(CommandKind::Send, 1, "hi");
    EXPECT_EQ(Queued(), 1u);
    EXPECT_TRUE(EventsOf<ErrorEvent>().empty());
    Run(CommandKind::Send, 0, "");
    EXPECT_EQ(Queued(), 2u);
}

TEST_F(TerminalHostTest, SendToARowBeyondTheListIsRefusedAndQueuesNothing) {
    Run(CommandKind::Send, 0, "hi");  // no list yet
    host_->RebuildListView({Entry(9001, "A"), Entry(9002, "B")});
    Run(CommandKind::Send, 2, "hi");
    Run(CommandKind::Send, 4294967295u, "hi");
    EXPECT_EQ(Queued(), 0u);
    const auto errors = EventsOf<ErrorEvent>();
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_NE(errors[0].text.find("empty"), std::string::npos);
    EXPECT_NE(errors[1].text.find("rows 0 to 1"), std::string::npos);
}

TEST_F(TerminalHostTest, SendGoesByTheListShownNowAfterASwitchToAShorterList) {
    host_->RebuildListView({Entry(9001, "A"), Entry(9002, "B")});
    host_->RebuildListView({Entry(9001, "A")});
    Run(CommandKind::Send, 1, "hi");
    EXPECT_EQ(Queued(), 0u);
    EXPECT_EQ(EventsOf<ErrorEvent>().size(), 1u);
}

TEST_F(TerminalHostTest, ListRepeatsTheListShownLast) {
    host_->RebuildListView({Entry(9001, "A"), Entry(9002, "B")});
    host_->RebuildListView({Entry(9003, "C")});
    Run(CommandKind::List);
    const auto lists = EventsOf<ListEvent>();
    ASSERT_EQ(lists.size(), 3u);
    ASSERT_EQ(lists[2].parlons.size(), 1u);
    EXPECT_EQ(lists[2].parlons[0].nickname, "C");
    EXPECT_EQ(lists[2].parlons[0].port, 9003);
}

TEST_F(TerminalHostTest, ListBeforeAnySwitchIsEmpty) {
    Run(CommandKind::List);
    ASSERT_EQ(EventsOf<ListEvent>().size(), 1u);
    EXPECT_TRUE(EventsOf<ListEvent>()[0].parlons.empty());
}

TEST_F(TerminalHostTest, AReceivedMessageIsShownWithItsIdTextAndReplyTime) {
    host_->OpenAnswerForm(Field("hello"), 123, 30000);
    const auto messages = EventsOf<MessageEvent>();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].id, 123u);
    EXPECT_EQ(messages[0].text, "hello");
    EXPECT_EQ(messages[0].replyTime, 30000);
    EXPECT_EQ(host_->PendingAnswerCount(), 1u);
}

TEST_F(TerminalHostTest, AReceivedTextIsShownUpToItsNulWithInvalidBytesReplaced) {
    host_->OpenAnswerForm(Field(std::string_view("ok\xFFyes\0hidden", 13)), 1, 1000);
    EXPECT_EQ(EventsOf<MessageEvent>()[0].text, "ok\xEF\xBF\xBDyes");
    host_->OpenAnswerForm(ByteBuffer(std::string(kTextFieldSize, 'z').data(), kTextFieldSize), 2,
                          1000);
    EXPECT_EQ(EventsOf<MessageEvent>()[1].text, std::string(kTextFieldSize, 'z'));
}

TEST_F(TerminalHostTest, CountdownOf30000QueuesTheReplyAtTheThirtiethTickOnly) {
    host_->OpenAnswerForm(Field("hello"), 77, 30000);
    timers_.Advance(29999);
    EXPECT_EQ(Queued(), 0u);
    timers_.Advance(1);
    EXPECT_EQ(Queued(), 1u);  // empty or not, the reply leaves when the time is up
    EXPECT_EQ(host_->PendingAnswerCount(), 0u);
    timers_.Advance(10000);
    EXPECT_EQ(Queued(), 1u);
    EXPECT_TRUE(timers_.Running().empty());
}

TEST_F(TerminalHostTest, CountdownOf2500QueuesTheReplyAtTheThirdTick) {
    MakeHost("auto");
    host_->OpenAnswerForm(Field("hello"), 77, 2500);
    timers_.Advance(2000);
    EXPECT_EQ(Queued(), 0u);  // 500 ms left
    timers_.Advance(1000);
    EXPECT_EQ(Queued(), 1u);  // -500 ms left
}

TEST_F(TerminalHostTest, ReplyTimeZeroWithAutoReplyAnswersAtOnce) {
    MakeHost("auto");
    host_->OpenAnswerForm(Field("hello"), 77, 0);
    EXPECT_EQ(Queued(), 1u);
    EXPECT_EQ(host_->PendingAnswerCount(), 0u);
    EXPECT_TRUE(timers_.Running().empty());
}

TEST_F(TerminalHostTest, ReplyTimeZeroWithoutAutoReplyWaitsForTheReplyCommand) {
    host_->OpenAnswerForm(Field("hello"), 77, 0);
    timers_.Advance(60000);
    EXPECT_EQ(Queued(), 0u);
    EXPECT_EQ(host_->PendingAnswerCount(), 1u);
    Run(CommandKind::Reply, 77, "now");
    EXPECT_EQ(Queued(), 1u);
    EXPECT_EQ(host_->PendingAnswerCount(), 0u);
}

TEST_F(TerminalHostTest, ReplyDuringTheCountdownSendsNothingBeforeTheEnd) {
    host_->OpenAnswerForm(Field("hello"), 77, 3000);
    timers_.Advance(1000);
    Run(CommandKind::Reply, 77, "early");
    EXPECT_EQ(Queued(), 0u);
    EXPECT_EQ(host_->PendingAnswerCount(), 1u);
    Run(CommandKind::Reply, 77, "changed my mind");  // still pending: the box can change
    EXPECT_TRUE(EventsOf<ErrorEvent>().empty());
    timers_.Advance(2000);
    EXPECT_EQ(Queued(), 1u);
}

TEST_F(TerminalHostTest, ReplyToAnUnknownOrAnsweredMessageIsRefused) {
    Run(CommandKind::Reply, 5, "x");
    host_->OpenAnswerForm(Field("hello"), 6, 1000);
    Run(CommandKind::Reply, 7, "x");  // a wrong id
    timers_.Advance(1000);
    ASSERT_EQ(Queued(), 1u);
    Run(CommandKind::Reply, 6, "too late");
    EXPECT_EQ(Queued(), 1u);
    const auto errors = EventsOf<ErrorEvent>();
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_NE(errors[1].text.find("7"), std::string::npos);
}

TEST_F(TerminalHostTest, TwoMessagesCountDownIndependently) {
    host_->OpenAnswerForm(Field("first"), 1, 2000);
    timers_.Advance(1000);
    host_->OpenAnswerForm(Field("second"), 2, 2000);
    EXPECT_EQ(host_->PendingAnswerCount(), 2u);
    timers_.Advance(1000);
    EXPECT_EQ(Queued(), 1u);
    EXPECT_EQ(host_->PendingAnswerCount(), 1u);
    timers_.Advance(1000);
    EXPECT_EQ(Queued(), 2u);
}

TEST_F(TerminalHostTest, TwoPendingMessagesWithOneIdAreAnsweredOldestFirst) {
    host_->OpenAnswerForm(Field("first"), 9, 0);
    host_->OpenAnswerForm(Field("second"), 9, 0);
    Run(CommandKind::Reply, 9, "a");
    EXPECT_EQ(Queued(), 1u);
    EXPECT_EQ(host_->PendingAnswerCount(), 1u);
    Run(CommandKind::Reply, 9, "b");
    EXPECT_EQ(Queued(), 2u);
}

TEST_F(TerminalHostTest, AReplyThatCameBackShowsBothTextsCutAtTheirNul) {
    ByteBuffer result(static_cast<uint32_t>(2 * kTextFieldSize));
    const std::string_view sent("hi\0rest", 7);
    std::copy(sent.begin(), sent.end(), result.MutableData());
    const std::string_view reply("yes");
    std::copy(reply.begin(), reply.end(), result.MutableData() + kTextFieldSize);
    host_->OpenViewForm(result);
    const auto replies = EventsOf<ReplyEvent>();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].message, "hi");
    EXPECT_EQ(replies[0].reply, "yes");
    EXPECT_EQ(Queued(), 0u);  // a view form queues nothing
}

TEST_F(TerminalHostTest, SessionNotificationsBecomeEvents) {
    host_->Notify({SessionEvent::Kind::Sending, "hi", "D\xFF"});
    host_->Notify({SessionEvent::Kind::Replying, "yes", {}, 123});
    host_->Notify({SessionEvent::Kind::Forwarding, {}, "127.0.0.1"});
    host_->Notify({SessionEvent::Kind::Error, "cannot listen", {}});
    ASSERT_EQ(events_.size(), 4u);
    const auto sending = std::get<SendingEvent>(events_[0]);
    EXPECT_EQ(sending.to, "D\xEF\xBF\xBD");
    EXPECT_EQ(sending.text, "hi");
    EXPECT_EQ(std::get<ReplyingEvent>(events_[1]).id, 123u);
    EXPECT_EQ(std::get<ReplyingEvent>(events_[1]).text, "yes");
    EXPECT_EQ(std::get<ForwardingEvent>(events_[2]).ip, "127.0.0.1");
    EXPECT_EQ(std::get<ErrorEvent>(events_[3]).text, "cannot listen");
}

TEST_F(TerminalHostTest, FieldsAreTheCommandLineValues) {
    UserFields fields{"other", 1, 2};
    EXPECT_TRUE(host_->ReadFields(fields));
    EXPECT_EQ(fields.nickname, "Tester");
    EXPECT_EQ(fields.ip, ParseIpv4("127.0.0.1"));
    EXPECT_EQ(fields.port, 9001);
}

TEST_F(TerminalHostTest, SessionTimersTickIntoTheSessionUntilKilled) {
    host_->SetTimer(kSwitchTimer, 51);
    timers_.Advance(50);
    EXPECT_TRUE(EventsOf<ListEvent>().empty());
    timers_.Advance(1);
    // Timer 1 fires once: the session kills it and switches the lists.
    EXPECT_EQ(EventsOf<ListEvent>().size(), 1u);
    EXPECT_NE(Log().find("Tester: Switching parlon lists."), std::string::npos);
    timers_.Advance(1000);
    EXPECT_EQ(EventsOf<ListEvent>().size(), 1u);
}

TEST_F(TerminalHostTest, SetTimerRestartsWithTheNewPeriodAndKillTimerStops) {
    host_->SetTimer(kPollTimer, 10);
    ASSERT_EQ(timers_.Running().size(), 1u);
    EXPECT_EQ(timers_.Running()[0]->Period(), 10u);
    host_->SetTimer(kPollTimer, 250);
    ASSERT_EQ(timers_.Running().size(), 1u);
    EXPECT_EQ(timers_.Running()[0]->Period(), 250u);
    host_->KillTimer(kPollTimer);
    EXPECT_TRUE(timers_.Running().empty());
    host_->KillTimer(kRegisterTimer);  // never started: nothing happens
}

TEST_F(TerminalHostTest, ConnectIsRefusedWhileItsButtonIsDisabled) {
    host_->EnableConnect(false);
    const std::string before = Log();
    Run(CommandKind::Connect);
    ASSERT_EQ(EventsOf<ErrorEvent>().size(), 1u);
    EXPECT_EQ(Log(), before);
}

TEST_F(TerminalHostTest, DisconnectIsRefusedWhileNotConnected) {
    Run(CommandKind::Disconnect);
    ASSERT_EQ(EventsOf<ErrorEvent>().size(), 1u);
    EXPECT_TRUE(EventsOf<StatusEvent>().empty());
    EXPECT_EQ(Log().find("Deinitialize"), std::string::npos);
}

TEST_F(TerminalHostTest, DisconnectWhileConnectedEmptiesTheListAndEnablesConnectAgain) {
    host_->EnableConnect(false);
    host_->RebuildListView({Entry(9001, "A")});
    Run(CommandKind::Disconnect);
    EXPECT_EQ(EventsOf<StatusEvent>().back().text, "Disconnected");
    EXPECT_TRUE(EventsOf<ListEvent>().back().parlons.empty());
    EXPECT_NE(Log().find("Tester: Deinitialize encryption and disconnect from server..."),
              std::string::npos);
    Run(CommandKind::Disconnect);
    EXPECT_EQ(EventsOf<ErrorEvent>().size(), 1u);
}

TEST_F(TerminalHostTest, QuitWritesTheEndLineAndEndsTheNode) {
    EXPECT_EQ(Run(CommandKind::List), TerminalHost::Outcome::Continue);
    EXPECT_EQ(Run(CommandKind::Quit), TerminalHost::Outcome::Quit);
    EXPECT_TRUE(Log().ends_with("> Tester: ***** Application ended!!! *****\n")) << Log();
}

}  // namespace
}  // namespace parlon
