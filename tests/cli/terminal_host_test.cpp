// The terminal host and its answer forms over a session that is never connected.
#include "cli/terminal_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "common/text_field.h"
#include "common/utf8_text.h"
#include "queue/guarded_queue.h"
#include "support/temp_dir.h"

namespace parlon {
namespace {

// Timers that never fire: no form here has a countdown.
struct NoTimers final : TimerFactory {
    struct Timer final : RepeatingTimer {
        void Start(uint32_t) override {}
        void Stop() override {}
    };
    std::unique_ptr<RepeatingTimer> MakeTimer(std::function<void()>) override {
        return std::make_unique<Timer>();
    }
};

class TerminalHostTest : public ::testing::Test {
  protected:
    TerminalHostTest() { host_.Attach(session_); }

    test::TempDir dir_;
    NoTimers timers_;
    GuardedQueue incoming_;
    std::vector<std::string> shown_;  // the events, as the JSON lines parlon-cli prints
    TerminalHost host_{
        UserFields{}, timers_,
        [this](const NodeEvent& e) { shown_.push_back(FormatEvent(e, EventFormat::Json)); },
        std::nullopt};
    ParlonSession session_{host_, std::make_unique<ActivityLog>(dir_.Path() / "Activity.log"),
                           SessionServices{{}, {}, &incoming_, {}}, ParlonSettings{}};
};

// A command that cannot be carried out now prints an error and changes nothing.
TEST_F(TerminalHostTest, RefusedCommandsChangeNothing) {
    host_.Execute({CommandKind::Reply, 5, "x"});  // nothing is pending
    host_.OpenAnswerForm(ByteBuffer(MakeTextField(QueuedText("q").Bytes())), ReplyHandle(6, 6), 0);
    host_.Execute({CommandKind::Reply, 7, "x"});  // a wrong id
    host_.Execute({CommandKind::Send, 0, "x"});   // the list is empty
    EXPECT_EQ(session_.OutgoingCount(), 0u);
    // A message whose parlon had left by the time it was to go is told as an error.
    host_.Notify({SessionEvent::Kind::NotSent, "x", "Dave", 0, 1});
    EXPECT_EQ(
        shown_.back(),
        R"({"event":"error","text":"Dave has left the network; your message was not sent."})");
    host_.Execute({CommandKind::Reply, 6, "now"});
    EXPECT_EQ(session_.OutgoingCount(), 1u);
    host_.Execute({CommandKind::Reply, 6, "again"});
    EXPECT_EQ(session_.OutgoingCount(), 1u);
    host_.Execute({CommandKind::Disconnect, 0, {}});  // not connected
    host_.EnableConnect(false);
    host_.Execute({CommandKind::Connect, 0, {}});  // connecting or connected
    EXPECT_EQ(shown_.size(), 8u);                  // a message and seven errors
    EXPECT_EQ(std::ranges::count_if(
                  shown_, [](const auto& line) { return line.starts_with(R"({"event":"error")"); }),
              7);
}

}  // namespace
}  // namespace parlon
