// The programs as children: parlon's log failure and stop signals; a window and a node.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QProcess>
#include <csignal>
#include <filesystem>
#include <list>

#include "support/child_process.h"
#include "window/window_test_support.h"

namespace parlon::test {
namespace {

constexpr int kWaitMs = 15000;

class ProgramsTest : public WindowTest {
  protected:
    void TearDown() override {
        m_window.reset();  // signs off while the center still runs
        for (QProcess& child : m_children) {
            child.kill();
            child.waitForFinished(5000);
        }
    }
    // Runs `program` headless in `home` (made for it); its output and errors are read as one.
    QProcess& StartChild(const char* program, const QStringList& arguments,
                         const std::string& home) {
        std::filesystem::create_directories(m_dir.Path() / home);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        QProcess& child = m_children.emplace_back();
        child.setProcessEnvironment(environment);
        child.setWorkingDirectory(QString::fromStdString((m_dir.Path() / home).string()));
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.setChildProcessModifier([parent = ::getpid()] { DieWithParent(parent); });
        child.start(QString::fromLatin1(program), arguments);
        EXPECT_TRUE(child.waitForStarted(5000)) << program;
        return child;
    }
    // The next line of `child` that starts with `start` and holds `part`, or "".
    static QString WaitForLine(QProcess& child, const QString& start, const QString& part = {}) {
        QString found;
        const auto take = [&] {
            while (found.isEmpty() && child.canReadLine()) {
                const QString line = QString::fromUtf8(child.readLine()).trimmed();
                found = line.startsWith(start) && line.contains(part) ? line : found;
            }
            return !found.isEmpty();
        };
        return QTest::qWaitFor(take, kWaitMs) ? found : QString();
    }

    std::list<QProcess> m_children;
};

// A bad log is reported by name at once; a stop signal ends the window as its close box does.
TEST_F(ProgramsTest, ABadLogIsReportedAndAStopSignalEndsTheWindowAsItsCloseBoxDoes) {
    std::filesystem::create_directories(m_dir.Path() / "home" / "Activity.log");
    EXPECT_NE(WaitForLine(StartChild(PARLON_PROGRAM, {}, "home"),
                          "parlon: cannot open the activity log", "Activity.log"),
              "");
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        const std::string home = "home" + std::to_string(signal);
        QProcess& parlon = StartChild(PARLON_PROGRAM, {}, home);
        // The start line is written once the window is made, after the handlers are in place.
        const auto log = [&] { return LogLines(home + "/Activity.log"); };
        ASSERT_TRUE(QTest::qWaitFor([&] { return !log().empty(); }, kWaitMs)) << signal;
        ::kill(static_cast<pid_t>(parlon.processId()), signal);
        EXPECT_TRUE(parlon.waitForFinished(kWaitMs)) << signal;
        EXPECT_EQ(parlon.exitCode(), 0) << signal;  // not the signal's death
        EXPECT_EQ(log().size(), 1u) << signal;
    }
}

// The window and a node list each other; the window writes to the node and shows the reply.
TEST_F(ProgramsTest, AWindowAndANodeExchangeAMessageAndItsReply) {
    QProcess& center = StartChild(PARLON_CENTER_PROGRAM,
                                  {"--listen", "127.0.0.1:0", "--poll-period", "50", "--reply-time",
                                   "1000", "--register-period", "300", "--switch-period", "200"},
                                  "center");
    const QString centerPort = WaitForLine(center, "parlon-center: listening on ").section(':', -1);
    QProcess& dave =
        StartChild(PARLON_CLI_PROGRAM,
                   {"--nick", "Dave", "--ip", "127.0.0.1", "--port", "0", "--center",
                    "127.0.0.1:" + centerPort, "--json", "--auto-reply", "Dave here, all fine"},
                   "Dave");
    const uint16_t ownPort = UnusedPort().port;
    CParlonDlg& window =
        Open("[Client Params]\nNickname=Wendy\nPort Num=" + std::to_string(ownPort) +
             "\n[Server Params]\nPort Num=" + centerPort.toStdString() + "\n");
    Child<QPushButton>(window, "connectButton")->click();
    auto* status = Child<QLabel>(window, "statusLine");
    ASSERT_TRUE(QTest::qWaitFor([&] { return status->text() == "Connected"; }, kWaitMs));
    auto* list = Child<QTreeWidget>(window, "parlonList");
    EXPECT_EQ(window.focusWidget(), list);  // Return now writes to a row, never presses Exit
    ASSERT_TRUE(QTest::qWaitFor([list] { return list->topLevelItemCount() == 2; }, kWaitMs));
    const QString wendy = QStringLiteral(R"("nickname":"Wendy","ip":"127.0.0.1","port":%1})");
    ASSERT_NE(WaitForLine(dave, R"({"event":"list")", wendy.arg(ownPort)), "");

    const QPoint daveCell =
        list->visualItemRect(list->findItems(QStringLiteral("Dave"), {}).value(0)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, daveCell);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, daveCell);
    ASSERT_EQ(MessageWindows().size(), 1);
    CMessageDlg* compose = MessageWindows().front();
    const QString question = QStringLiteral("Dave, are you well? ☀");
    TypeText(Child<Utf8TextEdit>(*compose, "messageEdit"), question);
    Child<QPushButton>(*compose, "okButton")->click();
    EXPECT_NE(WaitForLine(dave, R"({"event":"message")", R"("text":")" + question + R"(",)"), "");
    ASSERT_TRUE(QTest::qWaitFor([this] { return MessageWindows().size() == 2; }, kWaitMs));
    const CMessageDlg* view = MessageWindows().back();
    EXPECT_EQ(Child<Utf8TextEdit>(*view, "messageEdit")->Text(), question);
    EXPECT_EQ(Child<Utf8TextEdit>(*view, "replyEdit")->Text(), "Dave here, all fine");
}

}  // namespace
}  // namespace parlon::test
