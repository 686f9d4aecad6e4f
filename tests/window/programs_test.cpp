// The programs run as children: parlon's --help, --version, unopenable log and stop signals,
// and a window of this process exchanging messages both ways with two parlon-cli nodes at a
// parlon-center on loopback (with three hops every message also passes through relays).
#include <gtest/gtest.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <csignal>
#include <filesystem>
#include <functional>
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
    // A node that presses Connect by itself and writes JSON events, on a port the system picks.
    QProcess& StartNode(const char* nickname, const QStringList& extra = {}) {
        const QString center = QStringLiteral("127.0.0.1:%1").arg(m_centerPort);
        return StartChild(PARLON_CLI_PROGRAM,
                          QStringList{"--nick", nickname, "--ip", "127.0.0.1", "--port", "0",
                                      "--center", center, "--json"} +
                              extra,
                          nickname);
    }
    // The next line of `child` that `accept` takes (those before it are passed over), or "".
    static QString WaitForLine(QProcess& child, const std::function<bool(const QString&)>& accept) {
        QString found;
        const auto take = [&] {
            while (found.isEmpty() && child.canReadLine()) {
                const QString line = QString::fromUtf8(child.readLine()).trimmed();
                found = accept(line) ? line : found;
            }
            return !found.isEmpty();
        };
        return QTest::qWaitFor(take, kWaitMs) ? found : QString();
    }
    // The next JSON event named `event` (with `count` parlons when given), or {}.
    static QJsonObject WaitForEvent(QProcess& node, const char* event, qsizetype count = -1) {
        QJsonObject found;
        const QString line = WaitForLine(node, [&](const QString& text) {
            found = QJsonDocument::fromJson(text.toUtf8()).object();
            return found["event"] == QLatin1String(event) &&
                   (count < 0 || found["parlons"].toArray().size() == count);
        });
        return line.isEmpty() ? QJsonObject() : found;
    }
    // The message window opened `number`th, waited for, or nullptr.
    CMessageDlg* WaitForWindow(qsizetype number) {
        static_cast<void>(
            QTest::qWaitFor([&] { return MessageWindows().size() >= number; }, kWaitMs));
        return MessageWindows().value(number - 1);
    }

    std::list<QProcess> m_children;
    uint16_t m_centerPort = 0;
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
    const QString report =
        WaitForLine(parlon, [](const QString& line) { return line.contains("Activity.log"); });
    EXPECT_TRUE(report.contains("cannot open the activity log")) << report.toStdString();
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

TEST_F(ProgramsTest, AWindowAndTwoNodesExchangeMessagesBothWays) {
    QProcess& center =
        StartChild(PARLON_CENTER_PROGRAM,
                   {"--listen", "127.0.0.1:0", "--hop-count", "3", "--poll-period", "50",
                    "--reply-time", "1000", "--register-period", "300", "--switch-period", "200"},
                   "center");
    const auto listening = [](const QString& line) { return line.contains("listening on"); };
    m_centerPort = WaitForLine(center, listening).section(':', -1).toUShort();
    ASSERT_NE(m_centerPort, 0) << "parlon-center did not start";
    QProcess& carol = StartNode("Carol");
    QProcess& dave = StartNode("Dave", {"--auto-reply", "Dave here, all fine"});

    const uint16_t ownPort = UnusedPort().port;
    CParlonDlg& window =
        Open("[Client Params]\nNickname=Wendy\nPort Num=" + std::to_string(ownPort) +
             "\n[Server Params]\nPort Num=" + std::to_string(m_centerPort) + "\n");
    Child<QPushButton>(window, "connectButton")->click();
    // The registration runs off the window's thread; its answer arrives on the event loop.
    auto* status = Child<QLabel>(window, "statusLine");
    ASSERT_TRUE(QTest::qWaitFor([&] { return status->text() == "Connected"; }, kWaitMs))
        << status->text().toStdString();

    // After the switch everyone's list in use holds all three, the window's with its own row.
    auto* list = Child<QTreeWidget>(window, "parlonList");
    EXPECT_EQ(window.focusWidget(), list);  // Return now writes to a row, never presses Exit
    ASSERT_TRUE(QTest::qWaitFor([list] { return list->topLevelItemCount() == 3; }, kWaitMs));
    const QTreeWidgetItem* wendy = list->findItems(QStringLiteral("Wendy"), {}).value(0);
    ASSERT_NE(wendy, nullptr);
    EXPECT_EQ(wendy->text(1) + ':' + wendy->text(2), QStringLiteral("127.0.0.1:%1").arg(ownPort));
    const QJsonObject carolsList = WaitForEvent(carol, "list", 3);
    ASSERT_FALSE(WaitForEvent(dave, "list", 3).isEmpty());

    // The window writes to Dave, who answers by himself when his time is up.
    const QTreeWidgetItem* daveRow = list->findItems(QStringLiteral("Dave"), {}).value(0);
    ASSERT_NE(daveRow, nullptr);
    const QPoint daveCell = list->visualItemRect(daveRow).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, daveCell);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, daveCell);
    CMessageDlg* compose = WaitForWindow(1);
    ASSERT_NE(compose, nullptr);
    const QString question = QStringLiteral("Dave, are you well? ☀");
    TypeText(Child<Utf8TextEdit>(*compose, "messageEdit"), question);
    Child<QPushButton>(*compose, "okButton")->click();
    EXPECT_EQ(WaitForEvent(dave, "message")["text"], question);
    const CMessageDlg* view = WaitForWindow(2);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(Child<Utf8TextEdit>(*view, "messageEdit")->Text(), question);
    EXPECT_EQ(Child<Utf8TextEdit>(*view, "replyEdit")->Text(), "Dave here, all fine");

    // Carol writes to the window; its user answers in the answer window.
    for (const QJsonValue& row : carolsList["parlons"].toArray()) {
        if (row["nickname"] == QLatin1String("Wendy")) {
            carol.write(
                QStringLiteral("send %1 Hi Wendy, lunch?\n").arg(row["index"].toInt()).toUtf8());
        }
    }
    const CMessageDlg* answer = WaitForWindow(3);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(Child<Utf8TextEdit>(*answer, "messageEdit")->Text(), "Hi Wendy, lunch?");
    TypeText(Child<Utf8TextEdit>(*answer, "replyEdit"), QStringLiteral("Gladly, at one."));
    const QJsonObject carolGot = WaitForEvent(carol, "reply");
    EXPECT_EQ(carolGot["message"], QLatin1String("Hi Wendy, lunch?"));
    EXPECT_EQ(carolGot["reply"], QLatin1String("Gladly, at one."));
}

}  // namespace
}  // namespace parlon::test
