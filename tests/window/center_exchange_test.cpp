// The window against a real center on loopback: Connect, the list after the switch,
// Disconnect, a center that cannot be reached, and the sign-off in the teardown.
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
#include "window/loopback_port.h"
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

}  // namespace
}  // namespace parlon::testing
