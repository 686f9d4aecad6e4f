// A full exchange between this window and two parlon-cli nodes, all registered at a
// parlon-center process on loopback: the window writes to a node that answers by itself, and
// a node writes to the window, whose user answers in the answer window. With three hops every
// message also passes through relays drawn from the list.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "queue/guarded_queue.h"
#include "window/loopback_port.h"
#include "window/message_dlg.h"
#include "window/utf8_limited_edits.h"
#include "window/window_test_support.h"

namespace parlon::testing {
namespace {

constexpr int kWaitMs = 15000;

// A program of the network run as a child, its output read line by line.
class ChildProgram {
  public:
    ChildProgram(const char* program, const QStringList& arguments,
                 const std::filesystem::path& workingDir, QProcess::ProcessChannel lines) {
        m_process.setProgram(QString::fromLatin1(program));
        m_process.setArguments(arguments);
        m_process.setWorkingDirectory(QString::fromStdString(workingDir.string()));
        m_process.setReadChannel(lines);
        m_process.start();
        EXPECT_TRUE(m_process.waitForStarted(5000)) << program;
    }
    ~ChildProgram() {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    void WriteLine(const std::string& line) {
        m_process.write(QByteArray::fromStdString(line + "\n"));
        m_process.waitForBytesWritten(5000);
    }

    // Waits for a line that `accept` takes; the lines before it are passed over.
    QString WaitForLine(const std::function<bool(const QString&)>& accept) {
        QString found;
        static_cast<void>(QTest::qWaitFor(
            [&] {
                while (found.isEmpty() && m_process.canReadLine()) {
                    const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
                    if (accept(line)) {
                        found = line;
                    }
                }
                return !found.isEmpty();
            },
            kWaitMs));
        return found;
    }

    // The next JSON event of kind `event` that `accept` takes, or an empty object.
    QJsonObject WaitForEvent(const QString& event,
                             const std::function<bool(const QJsonObject&)>& accept) {
        QJsonObject found;
        WaitForLine([&](const QString& line) {
            const QJsonObject object = QJsonDocument::fromJson(line.toUtf8()).object();
            if (object.value(QStringLiteral("event")).toString() == event && accept(object)) {
                found = object;
                return true;
            }
            return false;
        });
        return found;
    }

  private:
    QProcess m_process;
};

class CliExchangeTest : public WindowTest {
  protected:
    void SetUp() override {
        m_center = std::make_unique<ChildProgram>(
            PARLON_CENTER_PROGRAM,
            QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                        QStringLiteral("--hop-count"), QStringLiteral("3"),
                        QStringLiteral("--poll-period"), QStringLiteral("50"),
                        QStringLiteral("--reply-time"), QStringLiteral("1000"),
                        QStringLiteral("--register-period"), QStringLiteral("300"),
                        QStringLiteral("--switch-period"), QStringLiteral("200")},
            m_dir.Path(), QProcess::StandardError);
        static const QRegularExpression kListening(
            QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)$"));
        const QString listening = m_center->WaitForLine(
            [](const QString& line) { return kListening.match(line).hasMatch(); });
        ASSERT_FALSE(listening.isEmpty()) << "parlon-center did not start";
        m_centerPort = static_cast<uint16_t>(kListening.match(listening).captured(1).toUInt());
    }

    std::unique_ptr<ChildProgram> StartNode(const std::string& nickname,
                                            const QStringList& extra = {}) {
        const std::filesystem::path home = m_dir.Path() / nickname;
        std::filesystem::create_directory(home);
        QStringList arguments{
            QStringLiteral("--nick"),   QString::fromStdString(nickname),
            QStringLiteral("--ip"),     QStringLiteral("127.0.0.1"),
            QStringLiteral("--port"),   QString::number(FreeLoopbackPort()),
            QStringLiteral("--center"), QStringLiteral("127.0.0.1:%1").arg(m_centerPort),
            QStringLiteral("--json")};
        // A node presses Connect by itself once it has started.
        return std::make_unique<ChildProgram>(PARLON_CLI_PROGRAM, arguments + extra, home,
                                              QProcess::StandardOutput);
    }

    // The row of `nickname` in a node's list event, or -1.
    static int RowOf(const QJsonObject& list, const QString& nickname) {
        for (const QJsonValue& row : list.value(QStringLiteral("parlons")).toArray()) {
            if (row.toObject().value(QStringLiteral("nickname")).toString() == nickname) {
                return row.toObject().value(QStringLiteral("index")).toInt();
            }
        }
        return -1;
    }
    static bool ListsAll(const QJsonObject& list) {
        return list.value(QStringLiteral("parlons")).toArray().size() == 3;
    }

    static CMessageDlg* WaitForForm(const CParlonDlg& window, FormMode mode) {
        CMessageDlg* found = nullptr;
        static_cast<void>(QTest::qWaitFor(
            [&] {
                for (CMessageDlg* form : window.findChildren<CMessageDlg*>()) {
                    if (form->Form().Mode() == mode && !form->Form().IsFinished()) {
                        found = form;
                    }
                }
                return found != nullptr;
            },
            kWaitMs));
        return found;
    }

    std::unique_ptr<ChildProgram> m_center;
    uint16_t m_centerPort = 0;
};

TEST_F(CliExchangeTest, TheWindowAndTwoNodesExchangeMessagesBothWays) {
    std::unique_ptr<ChildProgram> carol = StartNode("Carol");
    std::unique_ptr<ChildProgram> dave =
        StartNode("Dave", {QStringLiteral("--auto-reply"), QStringLiteral("Dave here, all fine")});

    ParlonSettings own;
    own.nickname = "Wendy";
    own.ownIp = ParseIpv4("127.0.0.1");
    own.ownPort = FreeLoopbackPort();
    own.center = PeerAddress{ParseIpv4("127.0.0.1"), m_centerPort};
    std::unique_ptr<CParlonDlg> window = Open(own);
    Child<QPushButton>(*window, "connectButton")->click();
    ASSERT_EQ(Child<QLabel>(*window, "statusLine")->text(), "Connected");

    // Everyone's list in use holds all three.
    auto* list = Child<QTreeWidget>(*window, "parlonList");
    ASSERT_TRUE(QTest::qWaitFor([list] { return list->topLevelItemCount() == 3; }, kWaitMs));
    const QJsonObject carolsList = carol->WaitForEvent(QStringLiteral("list"), ListsAll);
    ASSERT_FALSE(carolsList.isEmpty());
    ASSERT_FALSE(dave->WaitForEvent(QStringLiteral("list"), ListsAll).isEmpty());

    // The window writes to Dave, who answers by himself when his time is up.
    const QList<QTreeWidgetItem*> daveRows =
        list->findItems(QStringLiteral("Dave"), Qt::MatchExactly, 0);
    ASSERT_EQ(daveRows.size(), 1);
    const QPoint daveCell = list->visualItemRect(daveRows.front()).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, daveCell);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, daveCell);
    CMessageDlg* compose = WaitForForm(*window, FormMode::Compose);
    ASSERT_NE(compose, nullptr);
    TypeText(Child<Utf8TextEdit>(*compose, "messageEdit"), QStringLiteral("Dave, are you well? ☀"));
    Child<QPushButton>(*compose, "okButton")->click();

    const QJsonObject daveGot =
        dave->WaitForEvent(QStringLiteral("message"), [](const QJsonObject&) { return true; });
    EXPECT_EQ(daveGot.value(QStringLiteral("text")).toString(),
              QStringLiteral("Dave, are you well? ☀"));
    CMessageDlg* view = WaitForForm(*window, FormMode::View);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(Child<Utf8TextEdit>(*view, "messageEdit")->Text(),
              QStringLiteral("Dave, are you well? ☀"));
    EXPECT_EQ(Child<Utf8TextEdit>(*view, "replyEdit")->Text(), "Dave here, all fine");

    // Carol writes to the window; its user answers in the answer window.
    const int wendyRow = RowOf(carolsList, QStringLiteral("Wendy"));
    ASSERT_GE(wendyRow, 0);
    carol->WriteLine("send " + std::to_string(wendyRow) + " Hi Wendy, lunch?");
    CMessageDlg* answer = WaitForForm(*window, FormMode::Answer);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(Child<Utf8TextEdit>(*answer, "messageEdit")->Text(), "Hi Wendy, lunch?");
    TypeText(Child<Utf8TextEdit>(*answer, "replyEdit"), QStringLiteral("Gladly, at one."));
    const QJsonObject carolGot =
        carol->WaitForEvent(QStringLiteral("reply"), [](const QJsonObject&) { return true; });
    EXPECT_EQ(carolGot.value(QStringLiteral("message")).toString(), "Hi Wendy, lunch?");
    EXPECT_EQ(carolGot.value(QStringLiteral("reply")).toString(), "Gladly, at one.");

    EXPECT_TRUE(LogHas("Wendy: - Just recieved a new reply!"));
    EXPECT_TRUE(LogHas("Wendy: - Just recieved a new message!"));
    EXPECT_TRUE(LogHas("Wendy: - Replying \"Gladly, at one.\" with Message ID " +
                       std::to_string(static_cast<int32_t>(answer->Form().MessageId())) + "."));
}

}  // namespace
}  // namespace parlon::testing
