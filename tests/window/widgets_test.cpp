// The widgets over a session that is not connected (what the message windows queue waits there):
// the main window's fields, Exit and the close box, byte limits, the session's QTimers, the answer
// and view forms, and the IPv4 address control.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTimer>
#include <optional>

#include "common/text_field.h"
#include "common/utf8_text.h"
#include "session/field_rules.h"
#include "window/ip_address_edit.h"
#include "window/utf8_edit_limit.h"
#include "window/window_test_support.h"

namespace parlon::test {
namespace {

const std::string kStartLine = "Insert Nick: ***** Application started!!! *****";
const std::string kEndLine = "Insert Nick: ***** Application ended!!! *****";

ByteBuffer Field(const std::string& text) {
    return ByteBuffer(MakeTextField(QueuedText(text).Bytes()));
}

class MainWindowTest : public WindowTest {
  protected:
    void OpenWindow(const ParlonSettings& settings) {
        m_window = Open(settings);
        m_nickname = Child<QLineEdit>(*m_window, "nicknameEdit");
        m_port = Child<QLineEdit>(*m_window, "portEdit");
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
    CMessageDlg* LastMessageWindow() const { return m_window->findChildren<CMessageDlg*>().back(); }
    size_t Queued() const { return m_window->Session().OutgoingCount(); }

    std::unique_ptr<CParlonDlg> m_window;
    QLineEdit* m_nickname = nullptr;
    QLineEdit* m_port = nullptr;
};

TEST_F(MainWindowTest, StartsOnTheDefaultsAndTheCloseBoxOrEscapeWriteNoEndLine) {
    OpenWindow(Settings());  // no settings file
    EXPECT_EQ(m_nickname->text(), "Insert Nick");
    EXPECT_EQ(Child<IpAddressEdit>(*m_window, "ipAddressEdit")->Text(), "127.0.0.1");
    EXPECT_EQ(m_port->text(), "8888");
    EXPECT_EQ(Child<QLabel>(*m_window, "statusLine")->text(), "Disconnected");
    EXPECT_EQ(LogLines(), std::vector<std::string>{kStartLine});
    EXPECT_TRUE(m_window->close());
    OpenWindow(Settings());
    QTest::keyClick(m_nickname, Qt::Key_Escape);
    EXPECT_FALSE(m_window->isVisible());
    m_window.reset();  // the teardown writes none either
    EXPECT_EQ(LogLines(), std::vector<std::string>(2, kStartLine));
}

TEST_F(MainWindowTest, ALongNicknameFromTheSettingsIsShownWholeAndRefusedWhenRead) {
    OpenWindow(Settings("[Client Params]\nPort Num=40000\nNickname=ABCDEFGHIJKLMNO\n"));
    EXPECT_EQ(m_port->text(), "40000");  // above 32767, shown as itself
    m_nickname->end(false);
    TypeText(m_nickname, "P");  // it may shrink, not grow
    EXPECT_EQ(m_nickname->text(), "ABCDEFGHIJKLMNO");
    // A refused port stops the reading before the nickname: one message at a time.
    Type(m_port, "12x");
    EXPECT_EQ(PressExit(), QStringList{"Port: please enter an integer."});
    Type(m_port, "40000");
    EXPECT_EQ(PressExit(), QStringList{"Nickname: please enter no more than 12 characters."});
    EXPECT_EQ(m_window->focusWidget(), m_nickname);
    EXPECT_EQ(m_nickname->selectedText(), "ABCDEFGHIJKLMNO");
}

TEST_F(MainWindowTest, ExitWritesTheEndLineThenRefusesABadPortOrCloses) {
    const std::pair<const char*, std::vector<const char*>> messageAndPorts[] = {
        {"Port: please enter an integer.", {"abc", "", "8 8"}},
        {"Port: please enter a port number from 1 to 65535.", {"0", "-1", "65536", "99999999999"}},
        {nullptr, {"1", " 65535 "}}};  // no message: the window closes
    long exits = 0;
    for (const auto& [message, ports] : messageAndPorts) {
        for (const char* port : ports) {
            OpenWindow(Settings());
            Type(m_port, port);
            EXPECT_EQ(PressExit(), message ? QStringList{message} : QStringList{}) << port;
            EXPECT_EQ(std::ranges::count(LogLines(), kEndLine), ++exits) << port;
            EXPECT_EQ(m_window->isVisible(), message != nullptr) << port;
        }
    }
}

// The boxes count bytes of UTF-8, not characters; the box being written in shows what is left.
TEST_F(MainWindowTest, TheNicknameTakesTwelveBytesOfTypingAndAMessageBox110) {
    OpenWindow(Settings());
    auto* list = Child<QTreeWidget>(*m_window, "parlonList");
    // A double click with no row selected opens nothing: there is no one to write to.
    QTest::mouseDClick(list->viewport(), Qt::LeftButton);
    EXPECT_TRUE(m_window->findChildren<CMessageDlg*>().isEmpty());
    static_cast<SessionHost&>(*m_window).RebuildListView({ListedParlon("Dave", 9002)});
    list->setCurrentItem(list->topLevelItem(0));
    QTest::mouseDClick(list->viewport(), Qt::LeftButton);
    auto* message = Child<Utf8TextEdit>(*LastMessageWindow(), "messageEdit");
    const auto* left = Child<QLabel>(*LastMessageWindow(), "bytesLeft");
    EXPECT_EQ(left->text(), "110 left");
    const struct {
        QWidget* box;
        QString typed;
        size_t keptBytes;
        const char* left;  // message box: the count shown
    } cases[] = {{m_nickname, "ABCDEFGHIJKLM", 12, ""},
                 {m_nickname, "ABCDEFGHIJKé", 11, ""},
                 {message, "é", 2, "108 left"},
                 {message, QString(109, 'x'), 109, "1 left"},
                 {message, QString(111, 'x'), 110, "0 left"},
                 {message, QString(37, QChar(0x20AC)), 108, "2 left"},
                 {message, QString(36, QChar(0x20AC)) + "é", 110, "0 left"}};
    for (const auto& [box, typed, keptBytes, shown] : cases) {
        Type(box, typed);
        const QString kept = box == m_nickname ? m_nickname->text() : message->Text();
        EXPECT_TRUE(typed.startsWith(kept)) << typed.toStdString();
        EXPECT_EQ(kept.toStdString().size(), keptBytes) << typed.toStdString();
        if (box == message) {
            EXPECT_EQ(left->text(), shown) << typed.toStdString();
        }
    }
}

TEST_F(MainWindowTest, EachSessionTimerIdHasOneQTimerThatRestartsAndStopsAlone) {
    OpenWindow(Settings());
    SessionHost& host = *m_window;
    host.SetTimer(kSwitchTimer, 600000);
    host.SetTimer(kRegisterTimer, 500000);
    host.SetTimer(kSwitchTimer, 400000);
    host.KillTimer(kRegisterTimer);
    host.KillTimer(kPollTimer);  // never started: nothing to stop
    QStringList timers;
    for (const QTimer* timer : m_window->findChildren<QTimer*>(QRegularExpression("^session"))) {
        // Precise: a coarse timer may fire up to 5% early, before the switch moment.
        timers << timer->objectName() + ' ' + QString::number(timer->interval()) +
                      (timer->isActive() ? " on" : " off") +
                      (timer->timerType() == Qt::PreciseTimer ? " precise" : " coarse");
    }
    timers.sort();
    EXPECT_EQ(timers,
              (QStringList{"sessionTimer1 400000 on precise", "sessionTimer2 500000 off precise"}));
}

TEST_F(MainWindowTest, AnAnswerRepliesWhenTimeIsUpHiddenOrNotAndAViewNever) {
    OpenWindow(Settings());
    SessionHost& host = *m_window;
    host.OpenAnswerForm(Field("Are you there?"), ReplyHandle(1, 1), 30000);
    EXPECT_EQ(LastMessageWindow()->windowTitle(), "Time Left:  30");
    EXPECT_EQ(Child<QLabel>(*LastMessageWindow(), "bytesLeft")->text(), "110 left");
    // A coarse countdown may end up to 5% early: the reply would leave before its time.
    EXPECT_EQ(Child<QTimer>(*LastMessageWindow(), "countdown")->timerType(), Qt::PreciseTimer);
    EXPECT_EQ(Child<Utf8TextEdit>(*LastMessageWindow(), "messageEdit")->Text(), "Are you there?");
    // OK, Escape and the close box only hide a window with time left.
    QList<CMessageDlg*> hidden;
    QList<Utf8TextEdit*> replies;
    for (int window = 0; window < 3; ++window) {
        host.OpenAnswerForm(Field("Lunch?"), ReplyHandle(2, 2), 1000);
        hidden << LastMessageWindow();
        replies << Child<Utf8TextEdit>(*hidden.back(), "replyEdit");
    }
    TypeText(replies[0], "early");
    Child<QPushButton>(*hidden[0], "okButton")->click();
    TypeText(replies[1], QString(111, 'r'));  // a reply box takes 110 bytes too
    QTest::keyClick(replies[1], Qt::Key_Escape);
    hidden[2]->close();
    EXPECT_FALSE(hidden[0]->isVisible() || hidden[1]->isVisible() || hidden[2]->isVisible());
    EXPECT_EQ(Queued(), 0u);
    TypeText(replies[0], " and more");  // the reply is the box's text when the time is up
    ASSERT_TRUE(QTest::qWaitFor([this] { return Queued() == 3; }, 5000));
    EXPECT_EQ(hidden[0]->Form().ReplyText(), "early and more");
    EXPECT_EQ(hidden[0]->windowTitle(), "Time Left:   0");
    EXPECT_EQ(hidden[1]->Form().ReplyText(), std::string(110, 'r'));

    host.OpenViewForm(ByteBuffer::Join(Field("Lunch?"), Field("Sure, noon.")));
    EXPECT_EQ(Child<Utf8TextEdit>(*LastMessageWindow(), "messageEdit")->Text(), "Lunch?");
    EXPECT_EQ(Child<Utf8TextEdit>(*LastMessageWindow(), "replyEdit")->Text(), "Sure, noon.");
    Child<QPushButton>(*LastMessageWindow(), "okButton")->click();
    EXPECT_FALSE(LastMessageWindow()->isVisible());
    EXPECT_EQ(Queued(), 3u);
}

TEST(LimitEditTest, AChangeBeyondTheLimitKeepsOnlyWholeCharactersThatFit) {
    const QString fifteen = "ABCDEFGHIJKLMNO";
    const struct {
        QString before, after;
        size_t maxBytes;
        std::optional<QString> text;  // nullopt and cursor -1: the change stands as it is
        qsizetype cursor;
    } cases[] = {
        {"abcd", "abXcd", 4, "abcd", 2},
        {"ab", "aéééb", 5, "aéb", 2},
        {"", "x\U0001F600", 4, "x", 1},
        {"abcde", "aXYZWe", 5, "aXYZe", 4},  // the removed "bcd" makes room for "XYZ"
        {fifteen, fifteen.left(14), 12, std::nullopt, -1},  // over the limit: it may shrink,
        {fifteen, fifteen + 'P', 12, fifteen, 15},          // not grow
        {fifteen, "AxEFGHIJKLMNO", 12, "AEFGHIJKLMNO", 1},
        {fifteen + "€", fifteen + "⊬", 12, fifteen, 15},  // E2 82 AC to E2 8A AC: no stray byte
    };
    for (const auto& [before, after, maxBytes, text, cursor] : cases) {
        const std::optional<LimitedEdit> limited = LimitEdit(before, after, maxBytes);
        const std::string change = before.toStdString() + " -> " + after.toStdString();
        EXPECT_EQ(limited ? limited->text : after, text.value_or(after)) << change;
        EXPECT_EQ(limited ? limited->cursor : -1, cursor) << change;
    }
}

// Every text the control can hold is a valid address: each field takes 0 to 255 (empty is 0).
TEST(IpAddressEditTest, TypingOrPastingCannotMakeAnInvalidAddress) {
    IpAddressEdit edit(nullptr);
    for (const auto& [typed, address] : {std::pair{"256", "0.0.0.25"},
                                         {"01", "0.0.0.0"},
                                         {"a-", "0.0.0.0"},
                                         {"255", "0.0.0.255"}}) {
        edit.SetAddress(0);
        edit.Field(3)->clear();
        TypeText(edit.Field(3), typed);
        EXPECT_EQ(edit.Text(), address) << typed;
        EXPECT_EQ(edit.Address(), ParseIpv4(address)) << typed;
    }
    for (const char* pasted : {" 192.168.7.1 ", "192.168.7.300"}) {
        QApplication::clipboard()->setText(pasted);
        edit.Field(0)->selectAll();
        QTest::keySequence(edit.Field(0), QKeySequence::Paste);
        EXPECT_EQ(edit.Text(), "192.168.7.1") << pasted;
    }
}

}  // namespace
}  // namespace parlon::test
