// The terminal host on a fake clock, over a session that is never connected.
#include "cli/terminal_host.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "common/text_field.h"
#include "queue/guarded_queue.h"
#include "support/temp_dir.h"

namespace parlon {
namespace {

// Timers on the test's clock: Advance(ms) moves it on 1 ms at a time, firing the ticks due.
class FakeTimers final : public TimerFactory {
    struct Timer final : RepeatingTimer {
        Timer(std::vector<Timer*>& all, std::function<void()> tick) : live(all), onTick(tick) {
            live.push_back(this);
        }
        ~Timer() override { std::erase(live, this); }
        void Start(uint32_t periodMs) override { period = left = std::max<uint32_t>(periodMs, 1); }
        void Stop() override { left = 0; }

        std::vector<Timer*>& live;
        const std::function<void()> onTick;
        uint32_t period = 0;
        uint32_t left = 0;  // milliseconds to the next tick; 0 while stopped
    };
    std::vector<Timer*> m_live;  // not owned

  public:
    std::unique_ptr<RepeatingTimer> MakeTimer(std::function<void()> onTick) override {
        return std::make_unique<Timer>(m_live, std::move(onTick));
    }
    void Advance(uint32_t ms) {
        for (uint32_t now = 0; now < ms; ++now) {
            for (size_t i = 0; i < m_live.size(); ++i) {  // a tick may make new timers
                if (m_live[i]->left > 0 && --m_live[i]->left == 0) {
                    m_live[i]->left = m_live[i]->period;
                    m_live[i]->onTick();
                }
            }
        }
    }
};

class TerminalHostTest : public ::testing::Test {
  protected:
    TerminalHostTest() { Start(std::nullopt); }

    // A fresh host and session; the host answers every message with `autoReply` when given.
    void Start(std::optional<std::string> autoReply) {
        session_.reset();
        shown_.clear();
        const auto show = [this](const NodeEvent& e) {
            shown_.push_back(FormatEvent(e, EventFormat::Json));
        };
        host_ = std::make_unique<TerminalHost>(UserFields{}, timers_, show, std::move(autoReply));
        session_ = std::make_unique<ParlonSession>(
            *host_, std::make_unique<ActivityLog>(dir_.Path() / "Activity.log"),
            SessionServices{{}, {}, &incoming_, {}}, ParlonSettings{});
        host_->Attach(*session_);
    }
    // Message `id` arrives: "q" in a zero-filled field of 112 bytes.
    void Receive(uint32_t id, int32_t replyTimeMs) {
        ByteBuffer field(static_cast<uint32_t>(kTextFieldSize));
        field.MutableData()[0] = 'q';
        host_->OpenAnswerForm(field, ReplyHandle(id, id), replyTimeMs);
    }
    size_t Queued() const { return session_->OutgoingCount(); }

    test::TempDir dir_;
    FakeTimers timers_;
    GuardedQueue incoming_;
    std::vector<std::string> shown_;  // the events, as the JSON lines parlon-cli prints
    std::unique_ptr<TerminalHost> host_;
    std::unique_ptr<ParlonSession> session_;
};

// The reply leaves when the countdown of 1000 ms ticks runs out, with or without an auto-reply;
// without a countdown an auto-reply leaves at once, and otherwise the answer waits for `reply`.
TEST_F(TerminalHostTest, AnAnswerIsQueuedOnceWhenItsCountdownRunsOut) {
    constexpr uint32_t kNever = 60001;
    const struct {
        int32_t replyTimeMs;
        std::optional<std::string> autoReply;
        uint32_t queuedAtMs;
    } cases[] = {
        {30000, std::nullopt, 30000}, {30000, "auto", 30000}, {2500, "auto", 3000}, {0, "auto", 0},
        {0, std::nullopt, kNever},
    };
    for (const auto& c : cases) {
        Start(c.autoReply);
        Receive(77, c.replyTimeMs);
        EXPECT_EQ(shown_.at(0), R"({"event":"message","id":77,"text":"q","replyTime":)" +
                                    std::to_string(c.replyTimeMs) + "}");
        if (c.queuedAtMs > 0) {
            timers_.Advance(c.queuedAtMs - 1);
            EXPECT_EQ(Queued(), 0u) << c.replyTimeMs;
            timers_.Advance(1);
        }
        EXPECT_EQ(Queued(), c.queuedAtMs == kNever ? 0u : 1u) << c.replyTimeMs;
        timers_.Advance(10000);
        EXPECT_EQ(Queued(), c.queuedAtMs == kNever ? 0u : 1u) << c.replyTimeMs;  // once only
    }
}

// A command that cannot be carried out now prints an error and changes nothing: `reply` reaches
// only a pending answer, `send` only a row of the list; Connect and Disconnect only while enabled.
TEST_F(TerminalHostTest, RefusedCommandsChangeNothingAndQuitWritesTheEndLine) {
    host_->Execute({CommandKind::Reply, 5, "x"});  // nothing is pending
    Receive(6, 0);
    Receive(8, 1000);
    host_->Execute({CommandKind::Reply, 7, "x"});  // a wrong id
    host_->Execute({CommandKind::Send, 0, "x"});   // the list is empty
    EXPECT_EQ(Queued(), 0u);
    // A message whose parlon had left by the time it was to go is told as an error.
    host_->Notify({SessionEvent::Kind::NotSent, "x", "Dave", 0, 1});
    EXPECT_EQ(
        shown_.back(),
        R"({"event":"error","text":"Dave has left the network; your message was not sent."})");
    host_->Execute({CommandKind::Reply, 6, "now"});
    timers_.Advance(1000);  // 8 is answered when its time is up
    EXPECT_EQ(Queued(), 2u);
    host_->Execute({CommandKind::Reply, 6, "again"});
    host_->Execute({CommandKind::Reply, 8, "late"});
    EXPECT_EQ(Queued(), 2u);

    const std::string log = dir_.Read("Activity.log");
    host_->Execute({CommandKind::Disconnect, 0, {}});  // not connected
    host_->EnableConnect(false);
    host_->Execute({CommandKind::Connect, 0, {}});  // connecting or connected
    EXPECT_EQ(shown_.size(), 10u);                  // two messages and eight errors
    EXPECT_EQ(std::ranges::count_if(
                  shown_, [](const auto& line) { return line.starts_with(R"({"event":"error")"); }),
              8);
    EXPECT_EQ(dir_.Read("Activity.log"), log);

    EXPECT_EQ(host_->Execute({CommandKind::Quit, 0, {}}), TerminalHost::Outcome::Quit);
    EXPECT_TRUE(dir_.Read("Activity.log").ends_with(": ***** Application ended!!! *****\n"));
}

}  // namespace
}  // namespace parlon
