// The main window and its message windows over a session that is not connected (what they
// queue waits there), and the parts they are made of: byte limits, the address control, the
// texts of the Messages window and the placement of windows.
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
const std::string kEndLine = "Insert Nick: ***** Application ended!!! *****";

// Waits until `window` is the active window itself (QTest's own wait takes a window whose
// parent is active for active).
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
    OpenWindow();  // no settings file
    EXPECT_EQ(m_nickname->text(), "Insert Nick");
    EXPECT_EQ(Child<IpAddressEdit>(*m_window, "ipAddressEdit")->Text(), "127.0.0.1");
    EXPECT_EQ(m_port->text(), "8888");
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

TEST_F(MainWindowTest, ALongNicknameFromTheSettingsIsShownWholeAndRefusedWhenRead) {
    OpenWindow("[Client Params]\nPort Num=40000\nNickname=ABCDEFGHIJKLMNO\n");
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
            OpenWindow();
            Type(m_port, port);
            EXPECT_EQ(PressExit(), message ? QStringList{message} : QStringList{}) << port;
            EXPECT_EQ(std::ranges::count(LogLines(), kEndLine), ++exits) << port;
            EXPECT_EQ(m_window->isVisible(), message != nullptr) << port;
        }
    }
}

TEST_F(MainWindowTest, EachSessionTimerIdHasOneQTimerThatRestartsAndStopsAlone) {
    OpenWindow();
    Host().SetTimer(kSwitchTimer, 600000);
    Host().SetTimer(kRegisterTimer, 500000);
    Host().SetTimer(kSwitchTimer, 400000);
    Host().KillTimer(kRegisterTimer);
    Host().KillTimer(kPollTimer);  // never started: nothing to stop
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

// The misdelivery case, as the window sees it: a compose window holds the parlon chosen
// ("To: Dave") through every switch of the list, the list keeps Dave selected wherever he
// stands, and when Dave has gone the user is told so in plain words in a box with the focus.
// The boxes count bytes of UTF-8, not characters; the box being written in shows what is left.
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

    auto* message = Child<Utf8TextEdit>(*compose, "messageEdit");
    const auto* left = Child<QLabel>(*compose, "bytesLeft");
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
        EXPECT_EQ(box == message ? left->text() : "", shown) << typed.toStdString();
    }

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
    EXPECT_EQ(compose->Form().Recipient().nickname, "Dave");
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

// Windows the program opens by itself neither take the keyboard from a compose window being
// typed in nor cover each other. An answer replies when its time is up, hidden or not (OK,
// Escape and the close box only hide it); a view never does.
TEST_F(MainWindowTest, ArrivingWindowsLeaveTheKeyboardAloneAndAnswersReplyWhenTimeIsUp) {
    OpenWindow();
    Host().RebuildListView({MakeEntry(9002, "Dave", "Dave's key")});
    PressOnRow("Dave", Qt::Key_Return);
    CMessageDlg* compose = LastMessageWindow();
    ASSERT_TRUE(BecomesActive(compose));
    TypeText(QApplication::focusWidget(), "Hello ");

    Host().OpenAnswerForm(Field("Are you there?"), ReplyHandle(1, 1), 30000);
    EXPECT_EQ(LastMessageWindow()->windowTitle(), "Time Left:  30");
    EXPECT_EQ(Child<QLabel>(*LastMessageWindow(), "bytesLeft")->text(), "110 left");
    // A coarse countdown may end up to 5% early: the reply would leave before its time.
    EXPECT_EQ(Child<QTimer>(*LastMessageWindow(), "countdown")->timerType(), Qt::PreciseTimer);
    EXPECT_EQ(Child<Utf8TextEdit>(*LastMessageWindow(), "messageEdit")->Text(), "Are you there?");
    QList<CMessageDlg*> hidden;
    QList<Utf8TextEdit*> replies;
    for (int window = 0; window < 3; ++window) {
        Host().OpenAnswerForm(Field("Lunch?"), ReplyHandle(2, 2), 1000);
        hidden << LastMessageWindow();
        replies << Child<Utf8TextEdit>(*hidden.back(), "replyEdit");
    }
    Host().OpenViewForm(ByteBuffer::Join(Field("Lunch?"), Field("Sure, noon.")));
    CMessageDlg* view = LastMessageWindow();
    EXPECT_EQ(Child<Utf8TextEdit>(*view, "messageEdit")->Text(), "Lunch?");
    EXPECT_EQ(Child<Utf8TextEdit>(*view, "replyEdit")->Text(), "Sure, noon.");
    for (int round = 0; round < 5; ++round) {  // the platform's activations, if any, arrive
        QApplication::processEvents();
    }
    TypeText(QApplication::focusWidget(), "Dave");
    EXPECT_EQ(Child<Utf8TextEdit>(*compose, "messageEdit")->Text(), "Hello Dave");
    EXPECT_EQ(QApplication::activeWindow(), compose);
    QSet<QPair<int, int>> positions;
    for (const CMessageDlg* window : MessageWindows()) {
        EXPECT_TRUE(window->isVisible());
        positions.insert({window->pos().x(), window->pos().y()});
    }
    EXPECT_EQ(positions.size(), 6);

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

// The Messages window opens only when asked (Ctrl+M) and shows each message of the session
// with what became of it, following every change.
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
    Host().OpenAnswerForm(Field("Coffee?"), ReplyHandle(78, 78), 30000);
    Host().Notify({Kind::Replying, "Right here", {}, 77});
    EXPECT_EQ(m_window->findChild<CMessagesDlg*>(), nullptr);

    QTest::keyClick(m_window.get(), Qt::Key_M, Qt::ControlModifier);
    auto* window = m_window->findChild<CMessagesDlg*>();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    auto* rows = Child<QTreeWidget>(*window, "messageList");
    QStringList shown;
    for (int row = 0; row < rows->topLevelItemCount(); ++row) {
        const QTreeWidgetItem* item = rows->topLevelItem(row);
        shown << item->text(0) + " | " + item->text(1) + " | " + item->text(2);
    }
    EXPECT_EQ(shown, (QStringList{"To Dave | Lunch? | Waiting for a reply",
                                  "To Erin | Lunch? | Answered: Yes, at one",
                                  "To Ada | Still there? | Lost: no reply will come",
                                  "To Dave | Secret | Not sent: Dave had left the network",
                                  "Received | Are you there? | Answered: Right here",
                                  "Received | Coffee? | Answer in 30 s"}));
    Host().Notify({Kind::Sending, "One more", "Erin", 0, 5});
    EXPECT_EQ(rows->topLevelItemCount(), 7);
}

TEST(SessionMessagesTest, AnAnswerCountsDownToItsReply) {
    SessionMessages messages;
    const auto start = SessionMessages::Clock::now();
    messages.AddReceived(5, "q", 2500, start);
    messages.AddReceived(5, "q again", 0, start);  // ids may repeat: the oldest answer first
    for (const auto& [elapsedMs, shown] : {std::pair{0, "Answer in 3 s"},
                                           {1500, "Answer in 1 s"},
                                           {2499, "Answer in 1 s"},
                                           {2500, "Your reply is leaving"}}) {
        const auto now = start + std::chrono::milliseconds(elapsedMs);
        EXPECT_EQ(SessionMessages::StateText(messages.Entries()[0], now), shown) << elapsedMs;
    }
    messages.MarkReplied(5, "a");
    messages.MarkReplied(5, "b");
    messages.MarkReplied(5, "c");  // nothing left to answer
    EXPECT_EQ(messages.Entries()[0].reply, "a");
    EXPECT_EQ(messages.Entries()[1].reply, "b");
    EXPECT_FALSE(messages.HasAnswering());
}

// The n-th instance of the program takes the first free slot; a slot given up is free again.
// Cascaded windows skip the places taken and start a new column at the bottom edge.
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

    EXPECT_EQ(CascadePosition(anchor, size, {}, screen), anchor + step);
    EXPECT_EQ(CascadePosition(anchor, size, {anchor + step + QPoint(2, 1)}, screen),
              anchor + 2 * step);
    QList<QPoint> taken;
    for (QPoint at = anchor + step; screen.contains(QRect(at, size)); at += step) {
        taken << at;
    }
    const QPoint next = CascadePosition(anchor, size, taken, screen);
    EXPECT_TRUE(screen.contains(QRect(next, size)));
    EXPECT_FALSE(taken.contains(next));
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
