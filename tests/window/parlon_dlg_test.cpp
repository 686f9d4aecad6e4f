// The main window: start values, the field exchange and its messages, Exit / close box /
// Escape, the list view, the session's timers and the About command.
#include <gtest/gtest.h>

#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <memory>
#include <string>
#include <vector>

#include "common/utf8_text.h"
#include "net/center_link.h"
#include "session/field_rules.h"
#include "window/ip_address_edit.h"
#include "window/message_dlg.h"
#include "window/window_test_support.h"

namespace parlon::testing {
namespace {

constexpr const char* kStartLine = ": ***** Application started!!! *****";
constexpr const char* kEndLine = ": ***** Application ended!!! *****";

class MainWindowTest : public WindowTest {
  protected:
    void OpenWindow(const ParlonSettings& settings,
                    SessionServices services = SessionServices::Real()) {
        m_window = Open(settings, std::move(services));
        m_nickname = Child<QLineEdit>(*m_window, "nicknameEdit");
        m_port = Child<QLineEdit>(*m_window, "portEdit");
        m_ip = Child<IpAddressEdit>(*m_window, "ipAddressEdit");
        m_status = Child<QLabel>(*m_window, "statusLine");
        m_list = Child<QTreeWidget>(*m_window, "parlonList");
    }

    void Type(QLineEdit* field, const QString& text) {
        field->clear();
        TypeText(field, text);
    }

    // Presses Exit and returns what the modal boxes said meanwhile.
    QStringList PressExit() {
        ModalAnswerer answerer;
        Child<QPushButton>(*m_window, "exitButton")->click();
        return answerer.Seen();
    }

    std::unique_ptr<CParlonDlg> m_window;
    QLineEdit* m_nickname = nullptr;
    QLineEdit* m_port = nullptr;
    IpAddressEdit* m_ip = nullptr;
    QLabel* m_status = nullptr;
    QTreeWidget* m_list = nullptr;
};

// --- start ---

TEST_F(MainWindowTest, StartsWithoutSettingsFileOnTheDefaults) {
    OpenWindow(NoSettingsFile());
    EXPECT_EQ(m_window->windowTitle(), "Parlon");
    EXPECT_FALSE(m_window->windowIcon().isNull());
    EXPECT_EQ(m_nickname->text(), "Insert Nick");
    EXPECT_EQ(m_ip->Text(), "127.0.0.1");
    EXPECT_EQ(m_port->text(), "8888");
    EXPECT_EQ(m_status->text(), "Disconnected");
    EXPECT_EQ(m_status->frameShadow(), QFrame::Sunken);
    EXPECT_TRUE(Child<QPushButton>(*m_window, "connectButton")->isEnabled());
    EXPECT_TRUE(Child<QPushButton>(*m_window, "connectButton")->isDefault());
    EXPECT_FALSE(Child<QPushButton>(*m_window, "disconnectButton")->isEnabled());
    EXPECT_TRUE(Child<QPushButton>(*m_window, "exitButton")->isEnabled());
    EXPECT_EQ(LogLines(), std::vector<std::string>{std::string("Insert Nick") + kStartLine});
    // No timer runs before Connect.
    EXPECT_TRUE(m_window->findChildren<QTimer*>(QRegularExpression(QStringLiteral("^sessionTimer")))
                    .isEmpty());
}

TEST_F(MainWindowTest, ListViewHasItsThreeColumnsInProportion) {
    OpenWindow(NoSettingsFile());
    ASSERT_EQ(m_list->columnCount(), 3);
    const QTreeWidgetItem* header = m_list->headerItem();
    EXPECT_EQ(header->text(0), "Nickname");
    EXPECT_EQ(header->text(1), "IP Address");
    EXPECT_EQ(header->text(2), "Port Num");
    // 110 : 100 : 60, scaled to the font; the list is wide enough to show all three.
    EXPECT_NEAR(m_list->columnWidth(0) * 100.0 / m_list->columnWidth(1), 110.0, 3.0);
    EXPECT_NEAR(m_list->columnWidth(2) * 100.0 / m_list->columnWidth(1), 60.0, 3.0);
    EXPECT_GE(m_list->viewport()->width(),
              m_list->columnWidth(0) + m_list->columnWidth(1) + m_list->columnWidth(2));
}

TEST_F(MainWindowTest, SettingsFileFillsTheFieldsAndAPortAbove32767ShowsAsItself) {
    OpenWindow(SettingsFile(
        "[Client Params]\nPort Num=40000\nIP Address=10.0.0.7\nNickname=ABCDEFGHIJKLMNO\n"));
    EXPECT_EQ(m_port->text(), "40000");
    EXPECT_EQ(m_ip->Text(), "10.0.0.7");
    // Shown whole: the 12-byte limit is for typing and for reading the field back.
    EXPECT_EQ(m_nickname->text(), "ABCDEFGHIJKLMNO");
    EXPECT_EQ(LogLines().back(), std::string("ABCDEFGHIJKLMNO") + kStartLine);

    EXPECT_EQ(PressExit(), QStringList{kNicknameTooLongMessage});
    EXPECT_TRUE(m_window->isVisible());
    EXPECT_EQ(m_window->focusWidget(), m_nickname);
    EXPECT_EQ(m_nickname->selectedText(), "ABCDEFGHIJKLMNO");
}

// --- Exit, close box, Escape ---

TEST_F(MainWindowTest, ExitWithLettersInThePortRefusesItAfterWritingTheEndLine) {
    OpenWindow(NoSettingsFile());
    Type(m_port, QStringLiteral("abc"));
    EXPECT_EQ(PressExit(), QStringList{kNotAnIntegerMessage});
    EXPECT_TRUE(m_window->isVisible());
    EXPECT_EQ(m_window->focusWidget(), m_port);
    EXPECT_EQ(m_port->selectedText(), "abc");
    EXPECT_TRUE(LogHas(std::string("Insert Nick") + kEndLine));
}

TEST_F(MainWindowTest, ARefusedPortStopsTheExchangeBeforeTheNickname) {
    OpenWindow(SettingsFile("[Client Params]\nNickname=ABCDEFGHIJKLMNO\n"));
    Type(m_port, QStringLiteral("12x"));
    // One message only: the over-long nickname is not read after the port was refused.
    EXPECT_EQ(PressExit(), QStringList{kNotAnIntegerMessage});
}

TEST_F(MainWindowTest, PortsOutsideOneTo65535GetTheRangeMessage) {
    OpenWindow(NoSettingsFile());
    for (const char* port : {"0", "65536", "-1", "99999999999"}) {
        Type(m_port, QString::fromLatin1(port));
        EXPECT_EQ(PressExit(), QStringList{kPortRangeMessage}) << port;
        EXPECT_TRUE(m_window->isVisible()) << port;
    }
    for (const char* port : {"", " ", "+", "8 8", "0x50"}) {
        Type(m_port, QString::fromLatin1(port));
        EXPECT_EQ(PressExit(), QStringList{kNotAnIntegerMessage}) << '"' << port << '"';
    }
}

TEST_F(MainWindowTest, ExitWithValidFieldsClosesTheWindow) {
    for (const char* port : {"1", "65535", " 40000 "}) {
        OpenWindow(NoSettingsFile());
        QSignalSpy finished(m_window.get(), &QDialog::finished);
        Type(m_port, QString::fromLatin1(port));
        EXPECT_TRUE(PressExit().isEmpty()) << port;
        EXPECT_FALSE(m_window->isVisible()) << port;
        ASSERT_EQ(finished.size(), 1) << port;
        EXPECT_EQ(finished.front().front().toInt(), QDialog::Accepted);
        EXPECT_TRUE(LogHas(std::string("Insert Nick") + kEndLine));
    }
}

TEST_F(MainWindowTest, TheCloseBoxWritesNoEndLine) {
    OpenWindow(NoSettingsFile());
    Type(m_port, QStringLiteral("letters"));  // not read on this way out
    QSignalSpy finished(m_window.get(), &QDialog::finished);
    EXPECT_TRUE(m_window->close());
    EXPECT_EQ(finished.size(), 1);
    EXPECT_FALSE(m_window->isVisible());
    m_window.reset();  // teardown
    EXPECT_EQ(LogLines(), std::vector<std::string>{std::string("Insert Nick") + kStartLine});
}

TEST_F(MainWindowTest, EscapeClosesWithoutEndLine) {
    OpenWindow(NoSettingsFile());
    QSignalSpy finished(m_window.get(), &QDialog::finished);
    QTest::keyClick(m_nickname, Qt::Key_Escape);
    ASSERT_EQ(finished.size(), 1);
    EXPECT_EQ(finished.front().front().toInt(), QDialog::Rejected);
    EXPECT_FALSE(LogHas(std::string("Insert Nick") + kEndLine));
}

// --- typing ---

TEST_F(MainWindowTest, TheNicknameTakesTwelveBytesOfTyping) {
    OpenWindow(NoSettingsFile());
    Type(m_nickname, QStringLiteral("ABCDEFGHIJKLM"));
    EXPECT_EQ(m_nickname->text(), "ABCDEFGHIJKL");
    // Two-byte characters: six fit, and an eleventh byte plus a two-byte character do not.
    Type(m_nickname, QStringLiteral("ééééééé"));
    EXPECT_EQ(m_nickname->text(), "éééééé");
    Type(m_nickname, QStringLiteral("ABCDEFGHIJKé"));
    EXPECT_EQ(m_nickname->text(), "ABCDEFGHIJK");
}

TEST_F(MainWindowTest, ALongNicknameFromTheSettingsMayShrinkButNotGrow) {
    OpenWindow(SettingsFile("[Client Params]\nNickname=ABCDEFGHIJKLMNO\n"));
    m_nickname->setFocus();
    m_nickname->end(false);
    TypeText(m_nickname, QStringLiteral("P"));
    EXPECT_EQ(m_nickname->text(), "ABCDEFGHIJKLMNO");
    QTest::keyClick(m_nickname, Qt::Key_Backspace);
    EXPECT_EQ(m_nickname->text(), "ABCDEFGHIJKLMN");
}

TEST_F(MainWindowTest, FieldsReadBackForTheSessionAndARefusedOneKeepsItsValue) {
    OpenWindow(NoSettingsFile());
    Type(m_nickname, QStringLiteral("Zoë"));
    Type(m_port, QStringLiteral(" 40000"));
    m_ip->SetAddress(ParseIpv4("192.168.1.20"));
    SessionHost& host = *m_window;
    UserFields fields{"kept", 0, 1234};
    ModalAnswerer answerer;
    ASSERT_TRUE(host.ReadFields(fields));
    EXPECT_TRUE(answerer.Seen().isEmpty());
    EXPECT_EQ(fields.nickname, "Zoë");
    EXPECT_EQ(fields.port, 40000);
    EXPECT_EQ(fields.ip, ParseIpv4("192.168.1.20"));

    Type(m_port, QStringLiteral("70000"));
    EXPECT_FALSE(host.ReadFields(fields));
    EXPECT_EQ(fields.port, 40000);
}

// --- the session's host: status, buttons, list ---

TEST_F(MainWindowTest, ShowStatusRewritesTheUserFields) {
    OpenWindow(NoSettingsFile());
    Type(m_nickname, QStringLiteral("typed"));
    SessionHost& host = *m_window;
    host.ShowStatus("Connected", "inUse", 50000);
    EXPECT_EQ(m_status->text(), "Connected");
    EXPECT_EQ(m_nickname->text(), "inUse");
    EXPECT_EQ(m_port->text(), "50000");
    host.EnableConnect(false);
    EXPECT_FALSE(Child<QPushButton>(*m_window, "connectButton")->isEnabled());
    EXPECT_TRUE(Child<QPushButton>(*m_window, "disconnectButton")->isEnabled());
    host.EnableConnect(true);
    EXPECT_TRUE(Child<QPushButton>(*m_window, "connectButton")->isEnabled());
    EXPECT_FALSE(Child<QPushButton>(*m_window, "disconnectButton")->isEnabled());
}

ParlonEntry Entry(const std::string& nickname, const char* ip, uint16_t port) {
    ParlonEntry entry;
    entry.ip = ParseIpv4(ip);
    entry.port = port;
    entry.SetNickname(nickname);
    return entry;
}

TEST_F(MainWindowTest, TheListViewShowsEachParlonAsItCame) {
    OpenWindow(NoSettingsFile());
    SessionHost& host = *m_window;
    host.RebuildListView({Entry("Ada", "10.0.0.1", 40000), Entry("TwelveLetter", "10.0.0.2", 1),
                          Entry("bad\xff", "255.255.255.255", 65535)});
    ASSERT_EQ(m_list->topLevelItemCount(), 3);
    EXPECT_EQ(m_list->topLevelItem(0)->text(0), "Ada");
    EXPECT_EQ(m_list->topLevelItem(0)->text(1), "10.0.0.1");
    EXPECT_EQ(m_list->topLevelItem(0)->text(2), "40000");
    EXPECT_EQ(m_list->topLevelItem(1)->text(0), "TwelveLetter");
    EXPECT_EQ(m_list->topLevelItem(2)->text(0), QStringLiteral("bad\uFFFD"));
    EXPECT_EQ(m_list->topLevelItem(2)->text(1), "255.255.255.255");
    EXPECT_EQ(m_list->topLevelItem(2)->text(2), "65535");

    host.RebuildListView({Entry("Lin", "10.0.0.3", 7)});
    ASSERT_EQ(m_list->topLevelItemCount(), 1);
    EXPECT_EQ(m_list->topLevelItem(0)->text(0), "Lin");
    host.RebuildListView({});
    EXPECT_EQ(m_list->topLevelItemCount(), 0);
}

// --- the list's double click ---

TEST_F(MainWindowTest, ADoubleClickOnARowOpensAComposeWindowForThatRow) {
    OpenWindow(NoSettingsFile());
    SessionHost& host = *m_window;
    host.RebuildListView(
        {Entry("Ada", "10.0.0.1", 1), Entry("Lin", "10.0.0.2", 2), Entry("Mo", "10.0.0.3", 3)});
    const QRect row = m_list->visualItemRect(m_list->topLevelItem(2));
    QTest::mouseClick(m_list->viewport(), Qt::LeftButton, {}, row.center());
    QTest::mouseDClick(m_list->viewport(), Qt::LeftButton, {}, row.center());

    const QList<CMessageDlg*> windows = m_window->findChildren<CMessageDlg*>();
    ASSERT_EQ(windows.size(), 1);
    EXPECT_EQ(windows.front()->Form().Mode(), FormMode::Compose);
    EXPECT_EQ(windows.front()->Form().DestIndex(), 2u);
    EXPECT_TRUE(windows.front()->isVisible());
    EXPECT_EQ(windows.front()->parent(), m_window.get());
}

TEST_F(MainWindowTest, ADoubleClickWithNoRowSelectedComposesToNoRow) {
    OpenWindow(NoSettingsFile());
    QTest::mouseDClick(m_list->viewport(), Qt::LeftButton, {}, m_list->viewport()->rect().center());
    const QList<CMessageDlg*> windows = m_window->findChildren<CMessageDlg*>();
    ASSERT_EQ(windows.size(), 1);
    // -1: the session drops such a message when it is sent, and says so.
    EXPECT_EQ(windows.front()->Form().DestIndex(), 0xFFFFFFFFu);
}

TEST_F(MainWindowTest, ErrorsAreShownWithoutBlocking) {
    OpenWindow(NoSettingsFile());
    SessionHost& host = *m_window;
    host.Notify({SessionEvent::Kind::Sending, "hello", "Ada"});
    EXPECT_EQ(m_window->findChild<QMessageBox*>(QStringLiteral("errorNotice")), nullptr);
    host.Notify({SessionEvent::Kind::Error, "message dropped: first", {}});
    host.Notify({SessionEvent::Kind::Error, "message dropped: second", {}});
    auto* notice = Child<QMessageBox>(*m_window, "errorNotice");
    ASSERT_NE(notice, nullptr);
    EXPECT_TRUE(notice->isVisible());
    EXPECT_FALSE(notice->isModal());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(notice->text(), "message dropped: first\nmessage dropped: second");
    notice->accept();
    host.Notify({SessionEvent::Kind::Error, "third", {}});
    EXPECT_EQ(notice->text(), "third");  // a closed notice starts afresh
}

// --- the session's timers ---

// A center link that is never reached: every registration fails, counted.
class UnreachableCenterLink final : public CenterLink {
  public:
    explicit UnreachableCenterLink(std::shared_ptr<int> registrations)
        : m_registrations(std::move(registrations)) {}
    bool Register(std::vector<ParlonEntry>& /*parlons*/, CenterSchedule& /*schedule*/) override {
        ++*m_registrations;
        return false;
    }
    bool Send(const PeerAddress& /*destination*/, const ByteBuffer& /*packet*/) override {
        return false;
    }

  private:
    std::shared_ptr<int> m_registrations;
};

class SessionTimerTest : public MainWindowTest {
  protected:
    void SetUp() override {
        SessionServices services = SessionServices::Real();
        services.makeCenterLink = [registrations = m_registrations](const ParlonEntry&,
                                                                    const PeerAddress&) {
            return std::unique_ptr<CenterLink>(
                std::make_unique<UnreachableCenterLink>(registrations));
        };
        OpenWindow(NoSettingsFile(), std::move(services));
    }
    QTimer* Timer(uint32_t id) {
        return m_window->findChild<QTimer*>(QStringLiteral("sessionTimer%1").arg(id));
    }

    std::shared_ptr<int> m_registrations = std::make_shared<int>(0);
};

TEST_F(SessionTimerTest, EachIdHasOneQTimerThatSetTimerRestarts) {
    SessionHost& host = *m_window;
    host.SetTimer(kSwitchTimer, 600000);
    host.SetTimer(kRegisterTimer, 500000);
    QTimer* first = Timer(kSwitchTimer);
    QTimer* second = Timer(kRegisterTimer);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_TRUE(first->isActive());
    EXPECT_FALSE(first->isSingleShot());
    EXPECT_EQ(first->interval(), 600000);
    EXPECT_EQ(first->thread(), m_window->thread());

    host.SetTimer(kSwitchTimer, 400000);
    EXPECT_EQ(Timer(kSwitchTimer), first);
    EXPECT_EQ(m_window->findChildren<QTimer*>(QStringLiteral("sessionTimer1")).size(), 1);
    EXPECT_EQ(first->interval(), 400000);
    EXPECT_GT(first->remainingTime(), 300000);

    host.KillTimer(kSwitchTimer);
    EXPECT_FALSE(first->isActive());
    EXPECT_TRUE(second->isActive());
    host.KillTimer(kPollTimer);  // never started: nothing to stop
    EXPECT_EQ(Timer(kPollTimer), nullptr);
}

TEST_F(SessionTimerTest, ExpiryRunsTheSessionsTimerUntilKilled) {
    SessionHost& host = *m_window;
    host.SetTimer(kRegisterTimer, 10);
    ASSERT_TRUE(QTest::qWaitFor([this] { return *m_registrations >= 2; }, 5000));
    EXPECT_EQ(m_status->text(), "Error Reistering On Center!");
    EXPECT_TRUE(LogHas("Insert Nick: Registering on center."));
    host.KillTimer(kRegisterTimer);
    const int registrations = *m_registrations;
    QTest::qWait(50);
    EXPECT_EQ(*m_registrations, registrations);
}

// --- About ---

TEST_F(MainWindowTest, AboutOpensFromTheButtonTheShortcutAndTheContextMenu) {
    OpenWindow(NoSettingsFile());
    {
        ModalAnswerer answerer;
        Child<QPushButton>(*m_window, "aboutButton")->click();
        EXPECT_EQ(answerer.Seen(), QStringList{"About Parlon"});
    }
    m_window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get()));
    {
        ModalAnswerer answerer;
        QTest::keyClick(m_window.get(), Qt::Key_F1);
        EXPECT_EQ(answerer.Seen(), QStringList{"About Parlon"});
    }
    auto* about = Child<QAction>(*m_window, "aboutAction");
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(m_window->contextMenuPolicy(), Qt::ActionsContextMenu);
    EXPECT_TRUE(m_window->actions().contains(about));
    EXPECT_EQ(about->text(), "&About Parlon...");
}

}  // namespace
}  // namespace parlon::testing
