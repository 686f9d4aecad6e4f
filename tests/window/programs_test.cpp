// The programs as children: parlon's options, log failure and stop signals; a window and a node.
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
    // Runs `program` in `home` (made for it) with no display to fall back on; its standard
    // output and error are read as one.
    QProcess& StartChild(const char* program, const QStringList& arguments, const std::string& home,
                         const char* platform = "offscreen") {
        std::filesystem::create_directories(m_dir.Path() / home);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", platform);
        environment.remove("DISPLAY");
        QProcess& child = m_children.emplace_back();
        child.setProcessEnvironment(environment);
        child.setWorkingDirectory(QString::fromStdString((m_dir.Path() / home).string()));
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.setChildProcessModifier([parent = ::getpid()] { DieWithParent(parent); });
        child.start(QString::fromLatin1(program), arguments);
        EXPECT_TRUE(child.waitForStarted(5000)) << program;
        return child;
    }
    // The next line of `child` that starts with `start` and holds `part` (those before it are
    // passed over), or "".
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

TEST_F(ProgramsTest, VersionAndHelpPrintWithoutADisplay) {
    for (const auto& [argument, printed] : {std::pair{"--version", "parlon " PARLON_VERSION},
                                            {"--help", "Usage: parlon [SETTINGS-FILE]"}}) {
        QProcess& parlon = StartChild(PARLON_PROGRAM, {argument}, "home", "xcb");
        EXPECT_TRUE(parlon.waitForFinished(kWaitMs) && parlon.exitCode() == 0) << argument;
        EXPECT_EQ(QString::fromUtf8(parlon.readLine()).trimmed(), printed);
    }
}

TEST_F(ProgramsTest, ALogThatCannotBeOpenedIsReportedByName) {
    std::filesystem::create_directories(m_dir.Path() / "home" / "Activity.log");
    QProcess& parlon = StartChild(PARLON_PROGRAM, {}, "home");
    // The message box waits for the user; the same report goes to standard error at once.
    EXPECT_NE(WaitForLine(parlon, "parlon: cannot open the activity log", "Activity.log"), "");
}

// The window ends as by its close box: the start line alone, no end line.
TEST_F(ProgramsTest, AStopSignalEndsTheWindowAsItsCloseBoxDoes) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        const std::string home = "home" + std::to_string(signal);
        QProcess& parlon = StartChild(PARLON_PROGRAM, {}, home);
        // The start line is written once the window is made, after the handlers are in place.
        const auto log = [&] { return LogLines(home + "/Activity.log"); };
        ASSERT_TRUE(QTest::qWaitFor([&] { return !log().empty(); }, kWaitMs)) << signal;
        ::kill(static_cast<pid_t>(parlon.processId()), signal);
        EXPECT_TRUE(parlon.waitForFinished(kWaitMs)) << signal;
        EXPECT_TRUE(parlon.exitStatus() == QProcess::NormalExit && parlon.exitCode() == 0)
            << signal;
        EXPECT_EQ(log().size(), 1u) << signal;
    }
}

// The window registers, lists the node and itself, writes to the node and shows its reply.
TEST_F(ProgramsTest, AWindowAndANodeExchangeAMessageAndItsReply) {
    QProcess& center = StartChild(PARLON_CENTER_PROGRAM,
                                  {"--listen", "127.0.0.1:0", "--poll-period", "50", "--reply-time",
                                   "1000", "--register-period", "300", "--switch-period", "200"},
                                  "center");
    const QString centerPort = WaitForLine(center, "parlon-center: listening on ").section(':', -1);
    ASSERT_NE(centerPort, "") << "parlon-center did not start";
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
    // The registration runs off the window's thread; its answer arrives on the event loop.
    auto* status = Child<QLabel>(window, "statusLine");
    ASSERT_TRUE(QTest::qWaitFor([&] { return status->text() == "Connected"; }, kWaitMs))
        << status->text().toStdString();

    // After the switch both lists in use hold both, the window's with its own row.
    auto* list = Child<QTreeWidget>(window, "parlonList");
    EXPECT_EQ(window.focusWidget(), list);  // Return now writes to a row, never presses Exit
    ASSERT_TRUE(QTest::qWaitFor([list] { return list->topLevelItemCount() == 2; }, kWaitMs));
    const QTreeWidgetItem* wendy = list->findItems(QStringLiteral("Wendy"), {}).value(0);
    ASSERT_NE(wendy, nullptr);
    EXPECT_EQ(wendy->text(1) + ':' + wendy->text(2), QStringLiteral("127.0.0.1:%1").arg(ownPort));
    ASSERT_NE(WaitForLine(dave, R"({"event":"list")", R"("index":1)"), "");

    // The window writes to Dave, who answers by himself when his time is up.
    const QTreeWidgetItem* daveRow = list->findItems(QStringLiteral("Dave"), {}).value(0);
    ASSERT_NE(daveRow, nullptr);
    const QPoint daveCell = list->visualItemRect(daveRow).center();
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
