// The window against a real center on loopback: Connect, the list after the switch,
// Disconnect, the sign-off in the teardown, and a full exchange of a message and its reply
// between two windows, each with its own listener and queue.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "center/center_thread.h"
#include "queue/guarded_queue.h"
#include "window/loopback_port.h"
#include "window/message_dlg.h"
#include "window/utf8_limited_edits.h"
#include "window/window_test_support.h"

namespace parlon::testing {
namespace {

// What the center wrote to its log, gathered from its thread.
class CenterLines {
  public:
    CenterLogSink Sink() {
        return [this](const std::string& line) {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.push_back(line);
        };
    }
    bool AnyHas(const std::string& text) const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        for (const std::string& line : m_lines) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;  // guarded by m_mutex
};

class CenterExchangeTest : public WindowTest {
  protected:
    void SetUp() override {
        CenterSettings settings;
        settings.hopCount = 2;
        settings.pollPeriod = 50;
        settings.replyTime = 1000;
        settings.registerPeriod = 300;
        settings.switchPeriod = 200;
        std::string error;
        m_center = CenterThread::Start(settings, error, m_centerLines.Sink());
        ASSERT_NE(m_center, nullptr) << error;
    }

    ParlonSettings Own(const std::string& nickname) const {
        ParlonSettings settings;
        settings.nickname = nickname;
        settings.ownIp = ParseIpv4("127.0.0.1");
        settings.ownPort = FreeLoopbackPort();
        settings.center = m_center->Address();
        return settings;
    }

    // A window on its own incoming queue (two windows in one process must not share one).
    std::unique_ptr<CParlonDlg> OpenOwn(const ParlonSettings& settings, GuardedQueue& incoming) {
        SessionServices services = SessionServices::Real();
        services.incoming = &incoming;
        return Open(settings, std::move(services), settings.nickname + ".log");
    }

    static QStringList ListedNicknames(const CParlonDlg& window) {
        const auto* list = Child<QTreeWidget>(window, "parlonList");
        QStringList nicknames;
        for (int row = 0; row < list->topLevelItemCount(); ++row) {
            nicknames << list->topLevelItem(row)->text(0);
        }
        return nicknames;
    }
    static QString Status(const CParlonDlg& window) {
        return Child<QLabel>(window, "statusLine")->text();
    }
    static void Press(const CParlonDlg& window, const char* button) {
        Child<QPushButton>(window, button)->click();
    }

    static CMessageDlg* WaitForForm(const CParlonDlg& window, FormMode mode) {
        CMessageDlg* found = nullptr;
        static_cast<void>(QTest::qWaitFor(
            [&] {
                for (CMessageDlg* form : window.findChildren<CMessageDlg*>()) {
                    if (form->Form().Mode() == mode) {
                        found = form;
                    }
                }
                return found != nullptr;
            },
            10000));
        return found;  // null when none came in time
    }

    CenterLines m_centerLines;
    std::unique_ptr<CenterThread> m_center;
};

TEST_F(CenterExchangeTest, ConnectShowsConnectedAndTheListAfterTheSwitch) {
    const ParlonSettings own = Own("Solo");
    std::unique_ptr<CParlonDlg> window = Open(own);
    Press(*window, "connectButton");
    EXPECT_EQ(Status(*window), "Connected");
    EXPECT_FALSE(Child<QPushButton>(*window, "connectButton")->isEnabled());
    EXPECT_TRUE(Child<QPushButton>(*window, "disconnectButton")->isEnabled());

    ASSERT_TRUE(
        QTest::qWaitFor([&] { return ListedNicknames(*window) == QStringList{"Solo"}; }, 10000));
    const QTreeWidgetItem* row = Child<QTreeWidget>(*window, "parlonList")->topLevelItem(0);
    EXPECT_EQ(row->text(1), "127.0.0.1");
    EXPECT_EQ(row->text(2), QString::number(own.ownPort));
    EXPECT_TRUE(LogHas("Solo: Initialize encryption and connecting to server..."));
    EXPECT_TRUE(LogHas("Solo: Registering on center."));
    EXPECT_TRUE(LogHas("Solo: Switching parlon lists."));

    Press(*window, "disconnectButton");
    EXPECT_EQ(Status(*window), "Disconnected");
    EXPECT_TRUE(ListedNicknames(*window).isEmpty());
    EXPECT_TRUE(Child<QPushButton>(*window, "connectButton")->isEnabled());
    EXPECT_FALSE(Child<QPushButton>(*window, "disconnectButton")->isEnabled());
    for (const QTimer* timer :
         window->findChildren<QTimer*>(QRegularExpression(QStringLiteral("^sessionTimer")))) {
        EXPECT_FALSE(timer->isActive()) << timer->objectName().toStdString();
    }
    const std::string signOff = "signed off 127.0.0.1:" + std::to_string(own.ownPort) + " ";
    EXPECT_TRUE(QTest::qWaitFor([&] { return m_centerLines.AnyHas(signOff); }, 5000));
}

TEST_F(CenterExchangeTest, AnUnreachableCenterLeavesTheWindowDisconnected) {
    ParlonSettings own = Own("Lonely");
    own.center.port = FreeLoopbackPort();  // nobody listens there
    std::unique_ptr<CParlonDlg> window = Open(own);
    Press(*window, "connectButton");
    EXPECT_EQ(Status(*window), "Error Reistering On Center!");
    EXPECT_TRUE(Child<QPushButton>(*window, "connectButton")->isEnabled());
    EXPECT_FALSE(Child<QPushButton>(*window, "disconnectButton")->isEnabled());
}

TEST_F(CenterExchangeTest, TheCloseBoxWritesNoEndLineButTheTeardownSignsOff) {
    const ParlonSettings own = Own("Leaving");
    std::unique_ptr<CParlonDlg> window = Open(own);
    Press(*window, "connectButton");
    ASSERT_EQ(Status(*window), "Connected");
    window->close();
    const std::string signOff = "signed off 127.0.0.1:" + std::to_string(own.ownPort) + " ";
    QTest::qWait(50);
    EXPECT_FALSE(m_centerLines.AnyHas(signOff));
    window.reset();
    // The center logs on its own thread, after it has read the sign-off.
    EXPECT_TRUE(QTest::qWaitFor([&] { return m_centerLines.AnyHas(signOff); }, 5000));
    EXPECT_FALSE(LogHas("Leaving: ***** Application ended!!! *****"));
}

TEST_F(CenterExchangeTest, AMessageAndItsReplyTravelBetweenTwoWindows) {
    GuardedQueue aliceIncoming;
    GuardedQueue bobIncoming;
    std::unique_ptr<CParlonDlg> alice = OpenOwn(Own("Alice"), aliceIncoming);
    std::unique_ptr<CParlonDlg> bob = OpenOwn(Own("Bob"), bobIncoming);
    Press(*alice, "connectButton");
    Press(*bob, "connectButton");
    ASSERT_EQ(Status(*alice), "Connected");
    ASSERT_EQ(Status(*bob), "Connected");
    // Both lists in use hold both parlons once each has re-registered and switched.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return ListedNicknames(*alice).size() == 2 && ListedNicknames(*bob).size() == 2; },
        10000));

    // Alice double-clicks Bob and writes.
    auto* list = Child<QTreeWidget>(*alice, "parlonList");
    const int bobRow = static_cast<int>(ListedNicknames(*alice).indexOf(QStringLiteral("Bob")));
    const QPoint bobCell = list->visualItemRect(list->topLevelItem(bobRow)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, bobCell);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, bobCell);
    CMessageDlg* compose = WaitForForm(*alice, FormMode::Compose);
    ASSERT_NE(compose, nullptr);
    TypeText(Child<Utf8TextEdit>(*compose, "messageEdit"), QStringLiteral("Hello Bob, café at 5?"));
    Child<QPushButton>(*compose, "okButton")->click();
    EXPECT_EQ(alice->Session().OutgoingCount(), 1u);

    // Bob's answer window shows it and counts down the center's reply time.
    CMessageDlg* answer = WaitForForm(*bob, FormMode::Answer);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(Child<Utf8TextEdit>(*answer, "messageEdit")->Text(), "Hello Bob, café at 5?");
    EXPECT_EQ(answer->windowTitle(), "Time Left:   1");
    TypeText(Child<Utf8TextEdit>(*answer, "replyEdit"), QStringLiteral("Yes, see you"));
    Child<QPushButton>(*answer, "okButton")->click();  // time is left: only hides
    EXPECT_FALSE(answer->isVisible());

    // When Bob's time is up the reply goes back, and Alice's view window shows both texts.
    CMessageDlg* view = WaitForForm(*alice, FormMode::View);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(Child<Utf8TextEdit>(*view, "messageEdit")->Text(), "Hello Bob, café at 5?");
    EXPECT_EQ(Child<Utf8TextEdit>(*view, "replyEdit")->Text(), "Yes, see you");

    EXPECT_TRUE(LogHas("Alice: - Sending \"Hello Bob, café at 5?\" to Bob.", "Alice.log"));
    EXPECT_TRUE(LogHas("Bob: - Just recieved a new message!", "Bob.log"));
    EXPECT_TRUE(LogHas("Alice: - Just recieved a new reply!", "Alice.log"));
}

}  // namespace
}  // namespace parlon::testing
