#include "cli/terminal_form.h"

#include <gtest/gtest.h>

#include <memory>

#include "common/text_field.h"
#include "fake_timer_factory.h"
#include "queue/guarded_queue.h"
#include "session/parlon_session.h"
#include "support/temp_dir.h"

namespace parlon {
namespace {

// The forms need a session to queue into; it is never connected, and the form talks to it only
// through QueueOutgoing. The session's own host does nothing.
class SilentHost final : public SessionHost {
  public:
    bool ReadFields(UserFields&) override { return true; }
    void InitFields(const std::string&, const UserFields&) override {}
    void ShowStatus(const std::string&, const std::string&, uint16_t) override {}
    void EnableConnect(bool) override {}
    void SetTimer(uint32_t, uint32_t) override {}
    void KillTimer(uint32_t) override {}
    void RebuildListView(const std::vector<ParlonEntry>&) override {}
    void OpenAnswerForm(const ByteBuffer&, uint32_t, int32_t) override {}
    void OpenViewForm(const ByteBuffer&) override {}
    void Notify(const SessionEvent&) override {}
};

class TerminalFormTest : public ::testing::Test {
  protected:
    TerminalFormTest() {
        SessionServices services;
        services.incoming = &incoming_;
        session_ = std::make_unique<ParlonSession>(
            host_, std::make_unique<ActivityLog>(dir_.Path() / "Activity.log"), services,
            ParlonSettings{});
    }

    static ByteBuffer Field(std::string_view text) {
        ByteBuffer field(static_cast<uint32_t>(kTextFieldSize));
        std::copy(text.begin(), text.end(), field.MutableData());
        return field;
    }

    testing::TempDir dir_;
    testing::FakeTimerFactory timers_;
    GuardedQueue incoming_;
    SilentHost host_;
    std::unique_ptr<ParlonSession> session_;
};

TEST_F(TerminalFormTest, ComposeQueuesTheMessageBoxTextOnOK) {
    TerminalForm compose(MessageForm::Compose(*session_, 2), timers_, "hello");
    EXPECT_TRUE(timers_.Running().empty());
    compose.PressOK();
    EXPECT_TRUE(compose.Form().IsFinished());
    EXPECT_EQ(compose.Form().MessageText(), "hello");
    EXPECT_EQ(session_->OutgoingCount(), 1u);
}

TEST_F(TerminalFormTest, TheReplyThatLeavesIsTheTextInTheBoxWhenTimeIsUp) {
    TerminalForm answer(MessageForm::Answer(*session_, Field("q"), 5, 2000), timers_);
    answer.Answer("first");
    timers_.Advance(1000);
    answer.Answer("second");
    EXPECT_FALSE(answer.Form().IsFinished());
    timers_.Advance(1000);
    EXPECT_TRUE(answer.Form().IsFinished());
    EXPECT_EQ(answer.Form().ReplyText(), "second");
    EXPECT_EQ(session_->OutgoingCount(), 1u);
    EXPECT_TRUE(timers_.Running().empty());
}

TEST_F(TerminalFormTest, AFormDestroyedDuringItsCountdownStopsItsTimer) {
    {
        TerminalForm answer(MessageForm::Answer(*session_, Field("q"), 5, 5000), timers_);
        timers_.Advance(1000);
    }
    EXPECT_TRUE(timers_.Running().empty());
    timers_.Advance(10000);
    EXPECT_EQ(session_->OutgoingCount(), 0u);
}

}  // namespace
}  // namespace parlon
