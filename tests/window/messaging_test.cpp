// The main window as a messenger, over a session that is not connected: the recipient of a
// compose window is the parlon chosen, the list keeps it selected, arriving windows neither take
// the keyboard nor cover each other, Return never quits, and the Messages window tells what
// became of each message of this session.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QMessageBox>
#include <QSet>
#include <QTemporaryDir>

#include "common/text_field.h"
#include "common/utf8_text.h"
#include "window/messages_dlg.h"
#include "window/session_messages.h"
#include "window/window_placement.h"
#include "window/window_test_support.h"

namespace parlon::test {
namespace {

// Waits until `window` is the active window itself (QTest's own wait takes a window whose
// parent is active for active).
bool BecomesActive(QWidget* window) {
    return QTest::qWaitFor([window] { return QApplication::activeWindow() == window; }, 5000);
}

ByteBuffer Field(const std::string& text) {
    return ByteBuffer(MakeTextField(QueuedText(text).Bytes()));
}

class MessagingTest : public WindowTest {
  protected:
    void SetUp() override {
        m_window = Open(Settings());
        m_list = Child<QTreeWidget>(*m_window, "parlonList");
        ASSERT_TRUE(BecomesActive(m_window.get()));
    }
    SessionHost& Host() { return *m_window; }
    QList<CMessageDlg*> MessageWindows() const { return m_window->findChildren<CMessageDlg*>(); }
    QString SelectedNickname() const {
        const QTreeWidgetItem* current = m_list->currentItem();
        return current == nullptr ? QString() : current->text(0);
    }
    // Chooses the row of `nickname` and presses `key` on the list.
    void PressOnRow(const QString& nickname, Qt::Key key) {
        m_list->setCurrentItem(m_list->findItems(nickname, {}).value(0));
        m_list->setFocus();
        QTest::keyClick(m_list, key);
    }

    std::unique_ptr<CParlonDlg> m_window;
    QTreeWidget* m_list = nullptr;
};

// The misdelivery case, as the window sees it: the compose window holds the parlon chosen
// ("To: Dave") through every switch of the list, and the list keeps Dave selected wherever he
// stands; when Dave has gone, the user is told so in plain words in a box that has the focus.
TEST_F(MessagingTest, AComposeWindowIsForTheParlonChosenThroughEverySwitch) {
    const ParlonEntry ada = ListedParlon("Ada", 9001), dave = ListedParlon("Dave", 9002),
                      erin = ListedParlon("Erin", 9003);
    Host().RebuildListView({ada, dave});
    PressOnRow("Dave", Qt::Key_Return);
    ASSERT_EQ(MessageWindows().size(), 1);
    CMessageDlg* compose = MessageWindows().front();
    EXPECT_EQ(Child<QLabel>(*compose, "messageLabel")->text(), "To: Dave");
    EXPECT_TRUE(BecomesActive(compose));
    PressOnRow("Ada", Qt::Key_Enter);  // Enter too; Ada's window cascades from Dave's
    ASSERT_EQ(MessageWindows().size(), 2);
    EXPECT_NE(MessageWindows()[1]->pos(), compose->pos());

    // Switches: Dave moves to row 2, then to row 0, then a new key pair makes "Dave" another
    // parlon. The selection goes with the parlon, not with the row.
    m_list->setCurrentItem(m_list->topLevelItem(1));
    ParlonEntry newDave = dave;
    newDave.SetPublicKey("Dave's new key");
    for (const auto& [list, selected] : {std::pair{std::vector{erin, ada, dave}, "Dave"},
                                         {std::vector{dave, erin}, "Dave"},
                                         {std::vector{erin, newDave}, ""}}) {
        Host().RebuildListView(list);
        EXPECT_EQ(SelectedNickname(), selected);
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

// A window the program opens by itself does not take the keyboard from a compose window being
// typed in, and windows that open together cascade, none on top of another.
TEST_F(MessagingTest, ArrivingWindowsNeitherTakeTheKeyboardNorCoverEachOther) {
    Host().RebuildListView({ListedParlon("Dave", 9002)});
    PressOnRow("Dave", Qt::Key_Return);
    CMessageDlg* compose = MessageWindows().front();
    auto* typing = Child<Utf8TextEdit>(*compose, "messageEdit");
    ASSERT_TRUE(BecomesActive(compose));
    TypeText(QApplication::focusWidget(), "Hello ");
    Host().OpenAnswerForm(Field("Are you there?"), ReplyHandle(7, 7), 30000);
    Host().OpenAnswerForm(Field("And now?"), ReplyHandle(8, 8), 30000);
    Host().OpenViewForm(ByteBuffer::Join(Field("Lunch?"), Field("Yes")));
    for (int round = 0; round < 5; ++round) {  // the platform's activations, if any, arrive
        QApplication::processEvents();
    }
    TypeText(QApplication::focusWidget(), "Dave");
    EXPECT_EQ(typing->Text(), "Hello Dave");
    EXPECT_EQ(QApplication::activeWindow(), compose);
    QSet<QPair<int, int>> positions;
    for (const CMessageDlg* window : MessageWindows()) {
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(Child<Utf8TextEdit>(*window, "replyEdit")->Text(),
                  window->Form().Mode() == FormMode::View ? "Yes" : "");
        positions.insert({window->pos().x(), window->pos().y()});
    }
    EXPECT_EQ(positions.size(), 4);
}

TEST_F(MessagingTest, ReturnNeverPressesExitAndFocusFollowsTheButtons) {
    auto* exit = Child<QPushButton>(*m_window, "exitButton");
    auto* connect = Child<QPushButton>(*m_window, "connectButton");
    EXPECT_TRUE(connect->isDefault());
    Host().EnableConnect(false);  // as when connected: Connect (the default) is disabled
    exit->setFocus();
    QTest::keyClick(exit, Qt::Key_Return);
    EXPECT_TRUE(m_window->isVisible());
    Child<QPushButton>(*m_window, "disconnectButton")->click();
    EXPECT_EQ(m_window->focusWidget(), connect);
    EXPECT_EQ(LogLines().back(),
              "Insert Nick: Deinitialize encryption and disconnect from server...");
}

// The Messages window opens only when asked (Ctrl+M) and shows each message of the session
// with what became of it, following every change.
TEST_F(MessagingTest, TheMessagesWindowTellsWhatBecameOfEachMessage) {
    using Kind = SessionEvent::Kind;
    Host().Notify({Kind::Sending, "Lunch?", "Dave", 0, 1});
    Host().Notify({Kind::Sending, "Lunch?", "Erin", 0, 2});
    Host().Notify({Kind::Sending, "Still there?", "Ada", 0, 3});
    Host().Notify({Kind::NotSent, "Secret", "Dave", 0, 4});
    Host().OpenViewForm(ByteBuffer::Join(Field("Lunch?"), Field("Yes, at one")));
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
    EXPECT_EQ(shown, (QStringList{"To Dave | Lunch? | Answered: Yes, at one",
                                  "To Erin | Lunch? | Waiting for a reply",
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
    const SessionMessages::Entry& first = messages.Entries()[0];
    const struct {
        int elapsedMs;
        const char* shown;
    } cases[] = {{0, "Answer in 3 s"},
                 {1500, "Answer in 1 s"},
                 {2499, "Answer in 1 s"},
                 {2500, "Your reply is leaving"}};
    for (const auto& [elapsedMs, shown] : cases) {
        EXPECT_EQ(SessionMessages::StateText(first, start + std::chrono::milliseconds(elapsedMs)),
                  shown);
    }
    messages.MarkReplied(5, "a");
    messages.MarkReplied(5, "b");
    messages.MarkReplied(5, "c");  // nothing left to answer
    EXPECT_EQ(messages.Entries()[0].reply, "a");
    EXPECT_EQ(messages.Entries()[1].reply, "b");
    EXPECT_FALSE(messages.HasAnswering());
}

// The n-th instance of the program takes the first free slot; a slot given up is free again.
TEST(WindowPlacementTest, InstancesTakeSlotsInTurnAndCascadesStayOnTheScreen) {
    const QTemporaryDir directory;
    auto first = std::make_unique<InstanceSlot>(directory.path());
    const InstanceSlot second(directory.path());
    EXPECT_EQ(first->Index(), 0);
    EXPECT_EQ(second.Index(), 1);
    const QRect screen(0, 0, 800, 600);
    const QSize size(300, 200);
    EXPECT_EQ(second.MainWindowPosition(size, screen) - first->MainWindowPosition(size, screen),
              QPoint(kCascadeStep, kCascadeStep));
    first.reset();
    EXPECT_EQ(InstanceSlot(directory.path()).Index(), 0);

    // Windows taken at the first steps push the next one on; at the bottom edge the cascade
    // starts a new column.
    const QPoint anchor(100, 100);
    const QPoint step(kCascadeStep, kCascadeStep);
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

}  // namespace
}  // namespace parlon::test
