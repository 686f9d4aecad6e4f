// The terminal host and its answer forms on a fake clock, over a session that is never connected.
#include "cli/terminal_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "cli/terminal_form.h"
#include "common/text_field.h"
#include "common/utf8_text.h"
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
    TerminalHostTest() { host_.Attach(session_); }

    // Message `id` arrives: "q" in its field of 112 bytes.
    void Receive(uint32_t id, int32_t replyTimeMs) {
        host_.OpenAnswerForm(ByteBuffer(MakeTextField(QueuedText("q").Bytes())),
                             ReplyHandle(id, id), replyTimeMs);
    }
    size_t Queued() const { return session_.OutgoingCount(); }

    test::TempDir dir_;
    FakeTimers timers_;
    GuardedQueue incoming_;
    std::vector<std::string> shown_;  // the events, as the JSON lines parlon-cli prints
    TerminalHost host_{
        UserFields{}, timers_,
        [this](const NodeEvent& e) { shown_.push_back(FormatEvent(e, EventFormat::Json)); },
        std::nullopt};
    ParlonSession session_{host_, std::make_unique<ActivityLog>(dir_.Path() / "Activity.log"),
                           SessionServices{{}, {}, &incoming_, {}}, ParlonSettings{}};
};

// An answer queues one reply, the text typed last, when its countdown of 1000 ms ticks reaches
// 0 or less (at once without one); OK or a tick after that queues nothing more.
TEST_F(TerminalHostTest, AnAnswerQueuesOneReplyWhenItsCountdownEnds) {
    const struct {
        int32_t replyTimeMs;
        uint32_t queuedAtMs;
        const char* firstCaption;
        const char* lastCaption;
        const char* reply;
    } cases[] = {
        {2500, 3000, "Time Left:   2", "Time Left:   0", "final words"},
        {0, 0, "Send/Recieve Message", "Send/Recieve Message", "early"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.replyTimeMs);
        const size_t before = Queued();
        TerminalForm form(
            MessageForm::Answer(session_, QueuedText("hi"), ReplyHandle(77, 77), c.replyTimeMs),
            timers_);
        EXPECT_EQ(form.Form().Caption(), c.firstCaption);
        form.Answer("early");
        form.Answer("final words");
        if (c.queuedAtMs > 0) {
            timers_.Advance(c.queuedAtMs - 1);
            EXPECT_EQ(Queued(), before);
            timers_.Advance(1);
        }
        EXPECT_EQ(Queued(), before + 1);
        EXPECT_EQ(form.Form().Caption(), c.lastCaption);
        EXPECT_EQ(form.Form().ReplyText(), c.reply);
        timers_.Advance(10000);
        form.PressOK();
        EXPECT_EQ(Queued(), before + 1);
    }
}

// A command that cannot be carried out now prints an error and changes nothing: `reply` reaches
// only a pending answer, `send` only a row of the list; Connect and Disconnect only while enabled.
TEST_F(TerminalHostTest, RefusedCommandsChangeNothing) {
    host_.Execute({CommandKind::Reply, 5, "x"});  // nothing is pending
    Receive(6, 0);
    Receive(8, 1000);
    host_.Execute({CommandKind::Reply, 7, "x"});  // a wrong id
    host_.Execute({CommandKind::Send, 0, "x"});   // the list is empty
    EXPECT_EQ(Queued(), 0u);
    // A message whose parlon had left by the time it was to go is told as an error.
    host_.Notify({SessionEvent::Kind::NotSent, "x", "Dave", 0, 1});
    EXPECT_EQ(
        shown_.back(),
        R"({"event":"error","text":"Dave has left the network; your message was not sent."})");
    host_.Execute({CommandKind::Reply, 6, "now"});
    timers_.Advance(1000);  // 8 is answered when its time is up
    EXPECT_EQ(Queued(), 2u);
    host_.Execute({CommandKind::Reply, 6, "again"});
    host_.Execute({CommandKind::Reply, 8, "late"});
    EXPECT_EQ(Queued(), 2u);
    host_.Execute({CommandKind::Disconnect, 0, {}});  // not connected
    host_.EnableConnect(false);
    host_.Execute({CommandKind::Connect, 0, {}});  // connecting or connected
    EXPECT_EQ(shown_.size(), 10u);                 // two messages and eight errors
}

}  // namespace
}  // namespace parlon
