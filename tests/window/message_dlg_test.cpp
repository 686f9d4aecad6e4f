// The message window in its three forms: what each shows and lets the user type, what OK,
// Cancel and the close box do, and the answer form's countdown.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "common/text_field.h"
#include "common/utf8_text.h"
#include "window/message_dlg.h"
#include "window/utf8_limited_edits.h"
#include "window/window_test_support.h"

namespace parlon::testing {
namespace {

ByteBuffer Field(const std::string& text) {
    return ByteBuffer(MakeTextField(QueuedText(text).Bytes()));
}

class MessageWindowTest : public WindowTest {
  protected:
    void SetUp() override { m_main = Open(NoSettingsFile()); }

    // A message window of the main window, shown.
    CMessageDlg* Show(MessageForm form) {
        auto* window = new CMessageDlg(m_main.get(), std::move(form));
        window->Create();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window));
        return window;
    }
    ParlonSession& Session() { return m_main->Session(); }
    size_t Queued() const { return m_main->Session().OutgoingCount(); }

    static Utf8TextEdit* MessageBox(const CMessageDlg& window) {
        return Child<Utf8TextEdit>(window, "messageEdit");
    }
    static Utf8TextEdit* ReplyBox(const CMessageDlg& window) {
        return Child<Utf8TextEdit>(window, "replyEdit");
    }
    static void PressOk(const CMessageDlg& window) {
        Child<QPushButton>(window, "okButton")->click();
    }

    std::unique_ptr<CParlonDlg> m_main;
};

// --- compose ---

TEST_F(MessageWindowTest, ComposeOpensEmptyWithOnlyTheMessageBoxOpen) {
    CMessageDlg* window = Show(MessageForm::Compose(Session(), 0));
    EXPECT_EQ(window->windowTitle(), "Send/Recieve Message");
    EXPECT_TRUE(MessageBox(*window)->isEnabled());
    EXPECT_FALSE(ReplyBox(*window)->isEnabled());
    EXPECT_TRUE(MessageBox(*window)->Text().isEmpty());
    EXPECT_TRUE(ReplyBox(*window)->Text().isEmpty());
    EXPECT_TRUE(Child<QPushButton>(*window, "okButton")->isDefault());
    // OK is the only button; Cancel is the close box and Escape.
    EXPECT_EQ(window->findChildren<QPushButton*>().size(), 1);
    QStringList labels;
    for (const QLabel* label : window->findChildren<QLabel*>()) {
        labels << label->text();
        EXPECT_EQ(label->frameShadow(), QFrame::Sunken);
    }
    labels.sort();
    EXPECT_EQ(labels, (QStringList{"Message", "Reply"}));
}

TEST_F(MessageWindowTest, ComposeOkQueuesTheTypedMessageAndHides) {
    CMessageDlg* window = Show(MessageForm::Compose(Session(), 3));
    TypeText(MessageBox(*window), QStringLiteral("Grüße aus Köln"));
    PressOk(*window);
    EXPECT_EQ(Queued(), 1u);
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(window->Form().IsFinished());
    PressOk(*window);  // a second OK sends nothing more
    EXPECT_EQ(Queued(), 1u);
}

TEST_F(MessageWindowTest, ReturnInTheMessageBoxPressesOk) {
    CMessageDlg* window = Show(MessageForm::Compose(Session(), 0));
    TypeText(MessageBox(*window), QStringLiteral("one line"));
    QTest::keyClick(MessageBox(*window), Qt::Key_Return);
    EXPECT_EQ(Queued(), 1u);
    EXPECT_FALSE(window->isVisible());
}

TEST_F(MessageWindowTest, ComposeCancelQueuesNothing) {
    CMessageDlg* window = Show(MessageForm::Compose(Session(), 0));
    TypeText(MessageBox(*window), QStringLiteral("never mind"));
    QTest::keyClick(MessageBox(*window), Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(Queued(), 0u);
}

TEST_F(MessageWindowTest, TheBoxesTake110BytesOfTyping) {
    CMessageDlg* window = Show(MessageForm::Compose(Session(), 0));
    TypeText(MessageBox(*window), QString(111, QLatin1Char('x')));
    EXPECT_EQ(MessageBox(*window)->Text(), QString(110, QLatin1Char('x')));

    // 36 three-byte characters are 108 bytes; a 37th does not fit, a two-byte one does.
    MessageBox(*window)->clear();
    TypeText(MessageBox(*window), QString(37, QChar(0x20AC)));
    EXPECT_EQ(MessageBox(*window)->Text(), QString(36, QChar(0x20AC)));
    TypeText(MessageBox(*window), QStringLiteral("é"));
    EXPECT_EQ(MessageBox(*window)->Text().toStdString().size(), 110u);
}

// --- answer ---

class AnswerWindowTest : public MessageWindowTest {
  protected:
    CMessageDlg* ShowAnswer(int32_t replyTimeMs) {
        return Show(MessageForm::Answer(Session(), Field("Are you there?"), 4711, replyTimeMs));
    }
    static QTimer* Countdown(const CMessageDlg& window) {
        return Child<QTimer>(window, "countdownTimer");
    }
};

TEST_F(AnswerWindowTest, ShowsTheMessageOpensTheReplyAndCountsDown) {
    CMessageDlg* window = ShowAnswer(30000);
    EXPECT_EQ(window->windowTitle(), "Time Left:  30");
    EXPECT_EQ(MessageBox(*window)->Text(), "Are you there?");
    EXPECT_FALSE(MessageBox(*window)->isEnabled());
    EXPECT_TRUE(ReplyBox(*window)->isEnabled());
    EXPECT_TRUE(Countdown(*window)->isActive());
    EXPECT_EQ(Countdown(*window)->interval(), 1000);
}

TEST_F(AnswerWindowTest, OkWithTimeLeftOnlyHidesAndTheReplyGoesWhenTimeIsUp) {
    CMessageDlg* window = ShowAnswer(2000);
    TypeText(ReplyBox(*window), QStringLiteral("early"));
    PressOk(*window);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(Queued(), 0u);
    // Still counting, hidden; the reply that goes is the box's text when the time is up.
    TypeText(ReplyBox(*window), QStringLiteral(" and more"));
    ASSERT_TRUE(QTest::qWaitFor([this] { return Queued() == 1; }, 4000));
    EXPECT_EQ(window->Form().ReplyText(), "early and more");
    EXPECT_EQ(window->windowTitle(), "Time Left:   0");
    EXPECT_FALSE(Countdown(*window)->isActive());
    EXPECT_FALSE(window->isVisible());
}

TEST_F(AnswerWindowTest, CancelAndTheCloseBoxHideButTheReplyStillGoes) {
    CMessageDlg* cancelled = ShowAnswer(1000);
    CMessageDlg* closed = ShowAnswer(1000);
    QTest::keyClick(ReplyBox(*cancelled), Qt::Key_Escape);
    EXPECT_TRUE(closed->close());
    EXPECT_FALSE(cancelled->isVisible());
    EXPECT_FALSE(closed->isVisible());
    EXPECT_EQ(Queued(), 0u);
    ASSERT_TRUE(QTest::qWaitFor([this] { return Queued() == 2; }, 3000));
    EXPECT_EQ(cancelled->Form().ReplyText(), "");  // an empty reply goes too
}

TEST_F(AnswerWindowTest, APartSecondReplyTimeCountsDownThroughZeroTwice) {
    CMessageDlg* window = ShowAnswer(2500);
    QStringList captions{window->windowTitle()};
    std::vector<size_t> queued;
    // Runs after the window's own handler of each tick.
    QObject::connect(Countdown(*window), &QTimer::timeout, window, [&] {
        captions << window->windowTitle();
        queued.push_back(Queued());
    });
    ASSERT_TRUE(QTest::qWaitFor([this] { return Queued() == 1; }, 5000));
    // 2500 ms: 2, then 1 (1500 left), 0 (500 left) and 0 again (-500 left), when the reply goes.
    EXPECT_EQ(captions, (QStringList{"Time Left:   2", "Time Left:   1", "Time Left:   0",
                                     "Time Left:   0"}));
    EXPECT_EQ(queued, (std::vector<size_t>{0, 0, 1}));
}

TEST_F(AnswerWindowTest, NoReplyTimeMeansNoCountdownAndOkAnswersAtOnce) {
    CMessageDlg* window = ShowAnswer(0);
    EXPECT_EQ(window->windowTitle(), "Send/Recieve Message");
    EXPECT_FALSE(Countdown(*window)->isActive());
    PressOk(*window);
    EXPECT_EQ(Queued(), 1u);
}

// --- view ---

TEST_F(MessageWindowTest, ViewShowsMessageAndReplyAndOkQueuesNothing) {
    CMessageDlg* window =
        Show(MessageForm::View(Session(), ByteBuffer::Join(Field("Lunch?"), Field("Sure, noon."))));
    EXPECT_EQ(window->windowTitle(), "Send/Recieve Message");
    EXPECT_EQ(MessageBox(*window)->Text(), "Lunch?");
    EXPECT_EQ(ReplyBox(*window)->Text(), "Sure, noon.");
    EXPECT_FALSE(MessageBox(*window)->isEnabled());
    EXPECT_FALSE(ReplyBox(*window)->isEnabled());
    PressOk(*window);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(Queued(), 0u);
}

TEST_F(MessageWindowTest, AReceivedTextIsShownWholeEvenBeyondTheTypingLimit) {
    // 112 bytes and no NUL, with a byte that is not UTF-8: all of it shows, the byte as U+FFFD.
    std::string received(111, 'r');
    received.push_back('\xC3');
    CMessageDlg* window = Show(MessageForm::View(
        Session(), ByteBuffer::Join(ByteBuffer(received.data(), 112), Field("ok"))));
    EXPECT_EQ(MessageBox(*window)->Text(), QString(111, QLatin1Char('r')) + QChar(0xFFFD));
}

// --- lifetime ---

TEST_F(MessageWindowTest, HiddenWindowsLiveUntilTheMainWindowGoes) {
    QPointer<CMessageDlg> window = Show(MessageForm::Compose(Session(), 0));
    PressOk(*window);
    QTest::qWait(10);
    ASSERT_FALSE(window.isNull());
    m_main.reset();
    EXPECT_TRUE(window.isNull());
}

}  // namespace
}  // namespace parlon::testing
