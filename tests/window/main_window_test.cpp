// The main window, its message windows and their parts, over a session that is not connected.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>
#include <optional>

#include "window/ip_address_edit.h"
#include "window/messages_dlg.h"
#include "window/utf8_edit_limit.h"
#include "window/window_placement.h"
#include "window/window_test_support.h"

namespace parlon::test {
namespace {

const std::string kStartLine = "Insert Nick: ***** Application started!!! *****";
const std::string kEnded = ": ***** Application ended!!! *****";

// Waits until `window` itself is active (QTest's own wait also takes its parent being active).
bool BecomesActive(QWidget* window) {
    return QTest::qWaitFor([window] { return QApplication::activeWindow() == window; }, 5000);
}

class MainWindowTest : public WindowTest {
  protected:
    // Opens a main window and waits until it is active, as a user's window would be.
    void OpenWindow(const std::string& settings = {}) {
        EXPECT_TRUE(BecomesActive(&Open(settings)));
        m_nickname = Child<QLineEdit>(*m_window, "nicknameEdit");
        m_port = Child<QLineEdit>(*m_window, "portEdit");
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
    // Chooses the row of `nickname` and presses `key` on the list.
    void PressOnRow(const QString& nickname, Qt::Key key) {
        m_list->setCurrentItem(m_list->findItems(nickname, {}).value(0));
        m_list->setFocus();
        QTest::keyClick(m_list, key);
    }
    CMessageDlg* LastMessageWindow() const { return MessageWindows().back(); }
    size_t Queued() const { return m_window->Session().OutgoingCount(); }

    QLineEdit* m_nickname = nullptr;
    QLineEdit* m_port = nullptr;
    QTreeWidget* m_list = nullptr;
};

// Return presses only the default button (Connect), never Exit when it has the focus; the
// close box and Escape end the window without the end line that Exit writes.
TEST_F(MainWindowTest, StartsOnTheDefaultsAndOnlyExitEndsItWithTheEndLine) {
    OpenWindow();
    EXPECT_EQ(Child<QLabel>(*m_window, "statusLine")->text(), "Disconnected");
    auto* exit = Child<QPushButton>(*m_window, "exitButton");
    auto* connect = Child<QPushButton>(*m_window, "connectButton");
    EXPECT_TRUE(connect->isDefault());
    Host().EnableConnect(false);  // as when connected: Connect (the default) is disabled
    exit->setFocus();
    QTest::keyClick(exit, Qt::Key_Return);
    EXPECT_TRUE(m_window->isVisible());
    Child<QPushButton>(*m_window, "disconnectButton")->click();
    EXPECT_EQ(m_window->focusWidget(), connect);
    const std::string disconnect =
        "Insert Nick: Deinitialize encryption and disconnect from server...";
    EXPECT_EQ(LogLines(), (std::vector{kStartLine, disconnect}));
    EXPECT_TRUE(m_window->close());
    OpenWindow();
    QTest::keyClick(m_nickname, Qt::Key_Escape);
    EXPECT_FALSE(m_window->isVisible());
    m_window.reset();  // the teardown writes none either
    EXPECT_EQ(LogLines(), (std::vector{kStartLine, disconnect, kStartLine}));
}

// Exit writes the end line, then reads the port and only then the nickname: one message at a
// time, the field refused selected.
TEST_F(MainWindowTest, ExitWritesTheEndLineThenRefusesABadFieldOrCloses) {
    const std::pair<const char*, std::vector<const char*>> messageAndPorts[] = {
        {nullptr, {"1", " 65535 "}},  // no message: the window closes
        {"Port: please enter an integer.", {"abc", ""}},
        {"Port: please enter a port number from 1 to 65535.", {"0", "65536", "65537"}},
        {"Nickname: please enter no more than 12 characters.", {"40000"}}};
    size_t windows = 0;
    for (const auto& [message, ports] : messageAndPorts) {
        for (const char* port : ports) {
            OpenWindow(message ? "[Client Params]\nPort Num=40000\nNickname=ABCDEFGHIJKLMNO\n"
                               : "");
            EXPECT_EQ(m_port->text(), message ? "40000" : "8888");  // above 32767, as itself
            Type(m_port, port);
            EXPECT_EQ(PressExit(), message ? QStringList{message} : QStringList{}) << port;
            const std::vector<std::string> log = LogLines();
            EXPECT_EQ(log.size(), 2 * ++windows) << port;  // a start line and an end line each
            EXPECT_EQ(log.back(), (message ? "ABCDEFGHIJKLMNO" : "Insert Nick") + kEnded) << port;
            EXPECT_EQ(m_window->isVisible(), message != nullptr) << port;
        }
    }
    EXPECT_EQ(m_window->focusWidget(), m_nickname);
    EXPECT_EQ(m_nickname->selectedText(), "ABCDEFGHIJKLMNO");
    m_nickname->end(false);
    TypeText(m_nickname, "P");  // a text over the limit may shrink, not grow
    EXPECT_EQ(m_nickname->text(), "ABCDEFGHIJKLMNO");
}

TEST_F(MainWindowTest, EachSessionTimerIdHasOneQTimerThatRestartsAndStopsAlone) {
    OpenWindow();
    Host().SetTimer(kSwitchTimer, 600000);
    Host().SetTimer(kRegisterTimer, 500000);
    Host().SetTimer(kSwitchTimer, 400000);
    Host().KillTimer(kRegisterTimer);
    Host().KillTimer(kPollTimer);  // never started: nothing to stop
    EXPECT_EQ(m_window->findChildren<QTimer*>(QRegularExpression("^session")).size(), 2);
    const auto* switching = Child<QTimer>(*m_window, "sessionTimer1");
    EXPECT_TRUE(switching->isActive() && switching->interval() == 400000);
    EXPECT_FALSE(Child<QTimer>(*m_window, "sessionTimer2")->isActive());
    // Precise: a coarse timer may fire up to 5% early, before the switch moment.
    EXPECT_EQ(switching->timerType(), Qt::PreciseTimer);
}

// A compose window is for the parlon chosen ("To: Dave"), whom the list keeps selected wherever
// he stands; the boxes take bytes of UTF-8, the message box showing how many are left.
TEST_F(MainWindowTest, AComposeWindowIsForTheParlonChosenAndTakes110Bytes) {
    OpenWindow();
    QTest::mouseDClick(m_list->viewport(), Qt::LeftButton);  // no row selected: no one to write to
    EXPECT_TRUE(MessageWindows().isEmpty());
    const ParlonEntry ada = MakeEntry(9001, "Ada", "Ada's key"),
                      dave = MakeEntry(9002, "Dave", "Dave's key"),
                      erin = MakeEntry(9003, "Erin", "Erin's key");
    Host().RebuildListView({ada, dave});
    PressOnRow("Dave", Qt::Key_Return);
    ASSERT_EQ(MessageWindows().size(), 1);
    CMessageDlg* compose = MessageWindows().front();
    EXPECT_EQ(Child<QLabel>(*compose, "messageLabel")->text(), "To: Dave");
    EXPECT_TRUE(BecomesActive(compose));
    PressOnRow("Ada", Qt::Key_Enter);  // Enter too; Ada's window cascades from Dave's
    ASSERT_EQ(MessageWindows().size(), 2);
    EXPECT_NE(MessageWindows()[1]->pos(), compose->pos());

    Type(m_nickname, "éABCDEFGHIJKL");  // 14 bytes: 11 characters fill the 12
    EXPECT_EQ(m_nickname->text(), "éABCDEFGHIJ");
    auto* message = Child<Utf8TextEdit>(*compose, "messageEdit");
    const auto* left = Child<QLabel>(*compose, "bytesLeft");
    Type(message, QString(37, QChar(0x20AC)));  // 111 bytes: the whole characters that fit stay
    EXPECT_EQ(message->Text(), QString(36, QChar(0x20AC)));
    EXPECT_EQ(left->text(), "2 left");
    Type(message, QString(111, 'x'));
    EXPECT_EQ(message->Text(), QString(110, 'x'));
    EXPECT_EQ(left->text(), "0 left");

    // Dave moves to row 2, then to row 0, then a new key pair makes "Dave" another parlon.
    m_list->setCurrentItem(m_list->topLevelItem(1));
    ParlonEntry newDave = dave;
    newDave.SetPublicKey("Dave's new key");
    for (const auto& [list, selected] : {std::pair{std::vector{erin, ada, dave}, "Dave"},
                                         {std::vector{dave, erin}, "Dave"},
                                         {std::vector{erin, newDave}, ""}}) {
        Host().RebuildListView(list);
        EXPECT_EQ(m_list->currentItem() ? m_list->currentItem()->text(0) : "", selected);
    }
    EXPECT_TRUE(compose->Form().Recipient().IsEntry(dave));

    // Columns share the list's width in their proportions, however wide the window is.
    m_window->resize(m_window->width() + 300, m_window->height());
    QApplication::processEvents();
    const int width = m_list->viewport()->width();
    EXPECT_EQ(m_list->columnWidth(0) + m_list->columnWidth(1) + m_list->columnWidth(2), width);
    EXPECT_NEAR(m_list->columnWidth(0), width * 110 / 270, 1);

    Host().Notify({SessionEvent::Kind::NotSent, "Secret for Dave only", "Dave", 0, 1});
    auto* box = m_window->findChild<QMessageBox*>("errorNotice");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), "Dave has left the network; your message was not sent.");
    EXPECT_TRUE(BecomesActive(box));
}

// Windows the program opens by itself neither take the keyboard nor cover each other; an answer
// replies when its time is up, hidden or not (OK, Escape and the close box only hide it).
TEST_F(MainWindowTest, ArrivingWindowsLeaveTheKeyboardAloneAndAnswersReplyWhenTimeIsUp) {
    OpenWindow();
    Host().RebuildListView({MakeEntry(9002, "Dave", "Dave's key")});
    PressOnRow("Dave", Qt::Key_Return);
    CMessageDlg* compose = LastMessageWindow();
    ASSERT_TRUE(BecomesActive(compose));
    TypeText(QApplication::focusWidget(), "Hello ");

    QList<CMessageDlg*> hidden;
    QList<Utf8TextEdit*> replies;
    for (int window = 0; window < 3; ++window) {
        Host().OpenAnswerForm(Field("Lunch?"), ReplyHandle(2, 2), 1000);
        hidden << LastMessageWindow();
        replies << Child<Utf8TextEdit>(*hidden.back(), "replyEdit");
    }
    EXPECT_EQ(Child<Utf8TextEdit>(*hidden[0], "messageEdit")->Text(), "Lunch?");
    EXPECT_EQ(Child<QLabel>(*hidden[0], "bytesLeft")->text(), "110 left");
    // A coarse countdown may end up to 5% early: the reply would leave before its time.
    EXPECT_EQ(Child<QTimer>(*hidden[0], "countdown")->timerType(), Qt::PreciseTimer);
    Host().OpenViewForm(ByteBuffer::Join(Field("Lunch?"), Field("Sure, noon.")));
    CMessageDlg* view = LastMessageWindow();
    for (int round = 0; round < 5; ++round) {  // the platform's activations, if any, arrive
        QApplication::processEvents();
    }
    TypeText(QApplication::focusWidget(), "Dave");
    EXPECT_EQ(Child<Utf8TextEdit>(*compose, "messageEdit")->Text(), "Hello Dave");
    QSet<QPair<int, int>> positions;
    for (const CMessageDlg* window : MessageWindows()) {
        EXPECT_TRUE(window->isVisible());
        positions.insert({window->pos().x(), window->pos().y()});
    }
    EXPECT_EQ(positions.size(), 5);  // the compose window, three answers and a view

    TypeText(replies[0], "early");
    Child<QPushButton>(*hidden[0], "okButton")->click();
    TypeText(replies[1], QString(111, 'r'));  // a reply box takes 110 bytes too
    QTest::keyClick(replies[1], Qt::Key_Escape);
    hidden[2]->close();
    Child<QPushButton>(*view, "okButton")->click();
    EXPECT_FALSE(hidden[0]->isVisible() || hidden[1]->isVisible() || hidden[2]->isVisible() ||
                 view->isVisible());
    EXPECT_EQ(Queued(), 0u);
    TypeText(replies[0], " and more");  // the reply is the box's text when the time is up
    ASSERT_TRUE(QTest::qWaitFor([this] { return Queued() == 3; }, 5000));
    EXPECT_EQ(hidden[0]->Form().ReplyText(), "early and more");
    EXPECT_EQ(hidden[0]->windowTitle(), "Time Left:   0");
    EXPECT_EQ(hidden[1]->Form().ReplyText(), std::string(110, 'r'));
}

// The Messages window opens only when asked (Ctrl+M) and shows what became of each message of
// the session, following every change; a reply answers the oldest message of its id.
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
    Host().Notify({Kind::Replying, "Right here", {}, 77});
    EXPECT_EQ(m_window->findChild<CMessagesDlg*>(), nullptr);

    QTest::keyClick(m_window.get(), Qt::Key_M, Qt::ControlModifier);
    auto* window = m_window->findChild<CMessagesDlg*>();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    auto* rows = Child<QTreeWidget>(*window, "messageList");
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
                                    "Received | Coffee? | Answer in 30 s"}));
    Host().Notify({Kind::Replying, "Sure", {}, 77});
    Host().Notify({Kind::Replying, "Again", {}, 77});  // nothing is left to answer
    EXPECT_EQ(shown().mid(4), (QStringList{"Received | Are you there? | Answered: Right here",
                                           "Received | Coffee? | Answered: Sure"}));
    EXPECT_FALSE(Child<QTimer>(*window, "messagesCountdown")->isActive());
}

// An answer's time left is shown in whole seconds, rounded up.
TEST(SessionMessagesTest, AnAnswerCountsDownToItsReply) {
    SessionMessages messages;
    const auto start = SessionMessages::Clock::now();
    messages.AddReceived(5, "q", 2500, start);
    for (const auto& [elapsedMs, shown] : {std::pair{0, "Answer in 3 s"},
                                           {1500, "Answer in 1 s"},
                                           {2499, "Answer in 1 s"},
                                           {2500, "Your reply is leaving"}}) {
        const auto now = start + std::chrono::milliseconds(elapsedMs);
        EXPECT_EQ(SessionMessages::StateText(messages.Entries()[0], now), shown) << elapsedMs;
    }
}

// Instances take the first free slot; cascades skip the places taken and wrap at the bottom edge.
TEST(WindowPlacementTest, InstancesTakeSlotsInTurnAndCascadesStayOnTheScreen) {
    const QTemporaryDir directory;
    auto first = std::make_unique<InstanceSlot>(directory.path());
    const InstanceSlot second(directory.path());
    EXPECT_EQ(first->Index(), 0);
    EXPECT_EQ(second.Index(), 1);
    const QRect screen(0, 0, 800, 600);
    const QSize size(300, 200);
    const QPoint anchor(100, 100);
    const QPoint step(kCascadeStep, kCascadeStep);
    EXPECT_EQ(second.MainWindowPosition(size, screen) - first->MainWindowPosition(size, screen),
              step);
    first.reset();
    EXPECT_EQ(InstanceSlot(directory.path()).Index(), 0);
    const InstanceSlot withoutDirectory{QString()};  // takes the first slot, locks nothing here
    EXPECT_EQ(withoutDirectory.Index(), 0);
    EXPECT_FALSE(QFile::exists(QStringLiteral("parlon-window-0.lock")));

    QList<QPoint> column;  // every place of the first column on the screen
    for (QPoint at = anchor + step; screen.contains(QRect(at, size)); at += step) {
        column << at;
    }
    for (const auto& [taken, expected] :
         {std::pair{QList<QPoint>{}, anchor + step},
          {QList<QPoint>{anchor + step + QPoint(2, 1)}, anchor + 2 * step},  // near counts
          {column, anchor + QPoint(2 * kCascadeStep, kCascadeStep)}}) {
        EXPECT_EQ(CascadePosition(anchor, size, taken, screen), expected);
    }
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
