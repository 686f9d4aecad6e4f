// The main window, its message windows and their parts, over a session that is not connected.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSet>
#include <QTimer>
#include <optional>

#include "window/ip_address_edit.h"
#include "window/utf8_edit_limit.h"
#include "window/window_test_support.h"

namespace parlon::test {
namespace {

const std::string kStartLine = "Insert Nick: ***** Application started!!! *****";
const std::string kEnded = ": ***** Application ended!!! *****";
const std::string kDisconnected =
    "Insert Nick: Deinitialize encryption and disconnect from server...";

// Waits until `window` itself is active (QTest's own wait also takes its parent being active).
bool BecomesActive(QWidget* window) {
    return QTest::qWaitFor([window] { return QApplication::activeWindow() == window; }, 5000);
}

class MainWindowTest : public WindowTest {
  protected:
    // Opens a main window and waits until it is active.
    void OpenWindow(const std::string& settings = {}) {
        EXPECT_TRUE(BecomesActive(&Open(settings)));
        m_nickname = Child<QLineEdit>(*m_window, "nicknameEdit");
        m_list = Child<QTreeWidget>(*m_window, "parlonList");
    }
    // Replaces the text of a line or message box by typing.
    static void Type(QWidget* box, const QString& text) {
        QMetaObject::invokeMethod(box, "clear");
        TypeText(box, text);
    }
    // Presses Exit and returns the texts of the message boxes it opened, each accepted.
    QStringList PressExit() {
        QStringList seen;
        QTimer answerer;
        QObject::connect(&answerer, &QTimer::timeout, [&seen] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                seen << box->text();
                box->accept();
            }
        });
        answerer.start(5);
        Child<QPushButton>(*m_window, "exitButton")->click();
        return seen;
    }

    QLineEdit* m_nickname = nullptr;
    QTreeWidget* m_list = nullptr;
};

// Return never presses a focused Exit; a timer id has one precise QTimer; Exit validates the
// fields.
TEST_F(MainWindowTest, ButtonsAndTimersServeTheSessionAndOnlyExitWritesTheEndLine) {
    OpenWindow();
    EXPECT_EQ(Child<QLabel>(*m_window, "statusLine")->text(), "Disconnected");
    Host().EnableConnect(false);  // as when connected: Connect, the default button, is disabled
    Child<QPushButton>(*m_window, "exitButton")->setFocus();
    QTest::keyClick(m_window->focusWidget(), Qt::Key_Return);
    Host().SetTimer(kSwitchTimer, 600000);
    Host().SetTimer(kSwitchTimer, 400000);  // restarts the one QTimer of its id
    const auto* switching = Child<QTimer>(*m_window, "sessionTimer1");
    EXPECT_EQ(switching->interval(), 400000);
    EXPECT_EQ(switching->timerType(), Qt::PreciseTimer);
    Child<QPushButton>(*m_window, "disconnectButton")->click();  // stops every session timer
    EXPECT_FALSE(switching->isActive());
    EXPECT_EQ(m_window->findChildren<QTimer*>(QRegularExpression("^session")).size(), 1);
    EXPECT_EQ(m_window->focusWidget(), Child<QPushButton>(*m_window, "connectButton"));
    QLineEdit* lastIpField = Child<IpAddressEdit>(*m_window, "ipAddressEdit")->Field(3);
    lastIpField->clear();
    TypeText(lastIpField, "256");
    EXPECT_EQ(lastIpField->text(), "25");  // each field of the address takes 0 to 255 only
    QTest::keyClick(m_nickname, Qt::Key_Escape);
    EXPECT_FALSE(m_window->isVisible());
    m_window.reset();  // the teardown writes none either
    EXPECT_EQ(LogLines(), (std::vector{kStartLine, kDisconnected}));

    const std::pair<const char*, std::vector<const char*>> messageAndPorts[] = {
        {nullptr, {"1", " 65535 "}},  // no message: the window closes
        {"Port: please enter an integer.", {""}},
        {"Port: please enter a port number from 1 to 65535.", {"0", "65537"}},
        {"Nickname: please enter no more than 12 characters.", {"40000"}}};
    for (const auto& [message, ports] : messageAndPorts) {
        for (const char* port : ports) {
            OpenWindow(message ? "[Client Params]\nPort Num=40000\nNickname=ABCDEFGHIJKLMNO\n"
                               : "");
            auto* portEdit = Child<QLineEdit>(*m_window, "portEdit");
            EXPECT_EQ(portEdit->text(), message ? "40000" : "8888");  // above 32767, as itself
            Type(portEdit, port);
            EXPECT_EQ(PressExit(), message ? QStringList{message} : QStringList{}) << port;
            EXPECT_EQ(LogLines().back(), (message ? "ABCDEFGHIJKLMNO" : "Insert Nick") + kEnded);
            EXPECT_EQ(m_window->isVisible(), message != nullptr) << port;
        }
    }
    EXPECT_EQ(m_window->focusWidget(), m_nickname);
    EXPECT_EQ(m_nickname->selectedText(), "ABCDEFGHIJKLMNO");
}

// A compose window is for the parlon chosen; arriving windows leave it the keyboard.
TEST_F(MainWindowTest, AComposeWindowIsForTheParlonChosenAndAnswersReplyWhenTimeIsUp) {
    OpenWindow();
    QTest::mouseDClick(m_list->viewport(), Qt::LeftButton);  // no row selected: no one to write to
    EXPECT_TRUE(MessageWindows().isEmpty());
    const ParlonEntry ada = MakeEntry(9001, "Ada", "Ada's key"),
                      dave = MakeEntry(9002, "Dave", "Dave's key"),
                      erin = MakeEntry(9003, "Erin", "Erin's key");
    Host().RebuildListView({ada, dave});
    m_list->setCurrentItem(m_list->topLevelItem(1));
    m_list->setFocus();
    QTest::keyClick(m_list, Qt::Key_Return);
    ASSERT_EQ(MessageWindows().size(), 1);
    CMessageDlg* compose = MessageWindows().front();
    EXPECT_EQ(Child<QLabel>(*compose, "messageLabel")->text(), "To: Dave");
    ASSERT_TRUE(BecomesActive(compose));
    TypeText(QApplication::focusWidget(), "Hello ");

    QList<CMessageDlg*> answers;
    QList<Utf8TextEdit*> replies;
    for (int window = 0; window < 3; ++window) {
        Host().OpenAnswerForm(Field("Lunch?"), ReplyHandle(2, 2), 1000);
        answers << MessageWindows().back();
        replies << Child<Utf8TextEdit>(*answers.back(), "replyEdit");
    }
    EXPECT_EQ(Child<Utf8TextEdit>(*answers[0], "messageEdit")->Text(), "Lunch?");
    Host().OpenViewForm(ByteBuffer::Join(Field("Lunch?"), Field("Sure, noon.")));
    CMessageDlg* view = MessageWindows().back();
    for (int round = 0; round < 5; ++round) {  // the platform's activations, if any, arrive
        QApplication::processEvents();
    }
    TypeText(QApplication::focusWidget(), "Dave");
    auto* message = Child<Utf8TextEdit>(*compose, "messageEdit");
    EXPECT_EQ(message->Text(), "Hello Dave");
    QSet<QPair<int, int>> positions;
    for (const CMessageDlg* window : MessageWindows()) {
        EXPECT_TRUE(window->isVisible());
        positions.insert({window->pos().x(), window->pos().y()});
    }
    EXPECT_EQ(positions.size(), 5);  // the compose window, three answers and a view

    TypeText(replies[0], "early");
    Child<QPushButton>(*answers[0], "okButton")->click();
    TypeText(replies[1], QString(111, 'r'));  // a reply box takes 110 bytes too
    QTest::keyClick(replies[1], Qt::Key_Escape);
    Child<QPushButton>(*view, "okButton")->click();
    EXPECT_FALSE(answers[0]->isVisible() || answers[1]->isVisible() || view->isVisible());
    EXPECT_EQ(m_window->Session().OutgoingCount(), 0u);
    TypeText(replies[0], " and more");

    Type(message, QString(37, QChar(0x20AC)) + "xxx");
    EXPECT_EQ(message->Text(), QString(36, QChar(0x20AC)) + "xx");
    EXPECT_EQ(Child<QLabel>(*compose, "bytesLeft")->text(), "0 left");
    Type(m_nickname, "éABCDEFGHIJKL");  // 14 bytes: 11 characters fill the 12
    EXPECT_EQ(m_nickname->text(), "éABCDEFGHIJ");
    // Dave moves to row 2, then to row 0, then a new key pair makes "Dave" another parlon.
    ParlonEntry newDave = dave;
    newDave.SetPublicKey("Dave's new key");
    for (const auto& [list, selected] : {std::pair{std::vector{erin, ada, dave}, "Dave"},
                                         {std::vector{dave, erin}, "Dave"},
                                         {std::vector{erin, newDave}, ""}}) {
        Host().RebuildListView(list);
        EXPECT_EQ(m_list->currentItem() ? m_list->currentItem()->text(0) : "", selected);
    }
    EXPECT_TRUE(compose->Form().Recipient().IsEntry(dave));

    EXPECT_TRUE(QTest::qWaitFor([this] { return m_window->Session().OutgoingCount() == 3; }, 5000));
    EXPECT_EQ(answers[0]->Form().ReplyText(), "early and more");
    EXPECT_EQ(answers[0]->windowTitle(), "Time Left:   0");
    EXPECT_EQ(answers[1]->Form().ReplyText(), std::string(110, 'r'));

    Host().Notify({SessionEvent::Kind::NotSent, "Secret for Dave only", "Dave", 0, 1});
    auto* box = m_window->findChild<QMessageBox*>("errorNotice");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), "Dave has left the network; your message was not sent.");
    EXPECT_TRUE(BecomesActive(box));
}

// Ctrl+M shows what became of each message; a reply answers the oldest message of its id.
TEST_F(MainWindowTest, TheMessagesWindowTellsWhatBecameOfEachMessage) {
    using Kind = SessionEvent::Kind;
    OpenWindow();
    Host().Notify({Kind::Sending, "Lunch?", "Dave", 0, 1});
    Host().Notify({Kind::Sending, "Lunch?", "Erin", 0, 2});
    Host().Notify({Kind::Sending, "Still there?", "Ada", 0, 3});
    Host().Notify({Kind::NotSent, "Secret", "Dave", 0, 4});
    Host().Notify({Kind::Answered, "Yes, at one", "Erin", 0, 2});  // the second of one text
    Host().Notify({Kind::Lost, {}, "Ada", 0, 3});
    Host().OpenAnswerForm(Field("Are you there?"), ReplyHandle(77, 77), 30000);
    Host().OpenAnswerForm(Field("Coffee?"), ReplyHandle(77, 77), 30000);
    Host().OpenAnswerForm(Field("Now?"), ReplyHandle(78, 78), 0);
    Host().Notify({Kind::Replying, "Right here", {}, 77});

    QTest::keyClick(m_window.get(), Qt::Key_M, Qt::ControlModifier);
    auto* rows = m_window->findChild<QTreeWidget*>("messageList");
    ASSERT_NE(rows, nullptr);
    EXPECT_TRUE(rows->isVisible());
    const auto shown = [rows] {
        QStringList texts;
        for (int row = 0; row < rows->topLevelItemCount(); ++row) {
            const QTreeWidgetItem* item = rows->topLevelItem(row);
            texts << item->text(0) + " | " + item->text(1) + " | " + item->text(2);
        }
        return texts;
    };
    EXPECT_EQ(shown(), (QStringList{"To Dave | Lunch? | Waiting for a reply",
                                    "To Erin | Lunch? | Answered: Yes, at one",
                                    "To Ada | Still there? | Lost: no reply will come",
                                    "To Dave | Secret | Not sent: Dave had left the network",
                                    "Received | Are you there? | Answered: Right here",
                                    "Received | Coffee? | Answer in 30 s",
                                    "Received | Now? | Your reply is leaving"}));
    Host().Notify({Kind::Replying, "Sure", {}, 77});
    Host().Notify({Kind::Replying, "Again", {}, 77});  // nothing is left to answer
    EXPECT_EQ(shown()[5], "Received | Coffee? | Answered: Sure");
}

// A change past the limit keeps only whole characters that fit; a text over it may only shrink.
TEST(LimitEditTest, AChangeBeyondTheLimitKeepsOnlyWholeCharactersThatFit) {
    const QString fifteen = "ABCDEFGHIJKLMNO";
    const struct {
        QString before, after, kept;
        size_t maxBytes;
    } cases[] = {
        {"ab", "aéééb", "aéb", 5},
        {"", "x\U0001F600", "x", 4},
        {"abcde", "aXYZWe", "aXYZe", 5},  // the removed "bcd" makes room for "XYZ"
        {fifteen, fifteen.left(14), fifteen.left(14), 12},
        {fifteen, fifteen + 'P', fifteen, 12},
        {fifteen, "AxEFGHIJKLMNO", "AEFGHIJKLMNO", 12},
        {fifteen + "€", fifteen + "⊬", fifteen, 12},  // E2 82 AC to E2 8A AC: no stray byte
    };
    for (const auto& [before, after, kept, maxBytes] : cases) {
        const std::optional<LimitedEdit> limited = LimitEdit(before, after, maxBytes);
        EXPECT_EQ(limited ? limited->text : after, kept) << after.toStdString();
    }
}

}  // namespace
}  // namespace parlon::test
