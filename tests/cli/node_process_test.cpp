// parlon-cli run as a user runs it, with a real parlon-center, all on 127.0.0.1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/test_support.h"

namespace parlon {
namespace {

using Clock = std::chrono::steady_clock;

// A program run in `dir`: the test writes its input and reads its output and errors (one pipe),
// waiting 30 s at most; if still running at the end, it is killed and reaped (by its own id). It
// dies with the test program.
class Program {
  public:
    Program(std::vector<std::string> argv, const std::filesystem::path& dir) {
        std::signal(SIGPIPE, SIG_IGN);  // a write to a program that died fails instead
        int input[2];
        int output[2];
        if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) {
            throw std::runtime_error("cannot start " + argv.at(0));
        }
        m_pid = test::StartChildProcess(std::move(argv), dir, {input[0], output[1], output[1]});
        ::close(input[0]);
        ::close(output[1]);
        m_input = input[1];
        m_output = output[0];
    }
    ~Program() {
        ::close(m_input);
        if (!m_status) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_output);
    }

    void Write(std::string line) {
        line += '\n';
        EXPECT_EQ(::write(m_input, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }
    void Signal(int signal) { ::kill(m_pid, signal); }

    // The next line that starts with `start` and holds `part`; a failure showing the output when
    // none comes.
    std::string Await(const std::string& start, const std::string& part = {}) {
        const std::optional<std::string> line = Find(start, part);
        EXPECT_TRUE(line) << "no line " << start << "..." << part << " came, but:\n" << m_text;
        return line.value_or("{}");
    }
    // Reads the rest of the output; the exit status once the program has ended, else nullopt.
    std::optional<int> Wait() {
        Find("\n", {});  // no line starts with a line feed
        int status = 0;
        if (!m_status && m_ended && ::waitpid(m_pid, &status, 0) == m_pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return m_status;
    }
    const std::string& Output() const { return m_text; }
    // How often `text` occurs in the output read so far.
    long Count(const std::string& text) const {
        long count = 0;
        for (size_t at = 0; (at = m_text.find(text, at)) != std::string::npos; ++at) {
            ++count;
        }
        return count;
    }

  private:
    // As Await, but nullopt and no failure when the output ends or time runs out first.
    std::optional<std::string> Find(const std::string& start, const std::string& part) {
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        for (;;) {
            for (size_t feed; (feed = m_text.find('\n', m_start)) != std::string::npos;) {
                const std::string line = m_text.substr(m_start, feed - m_start);
                m_start = feed + 1;
                if (line.starts_with(start) && line.find(part) != std::string::npos) {
                    return line;
                }
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd wait{m_output, POLLIN, 0};
            char buffer[4096];
            const ssize_t count =
                left.count() > 0 && ::poll(&wait, 1, static_cast<int>(left.count())) > 0
                    ? ::read(m_output, buffer, sizeof buffer)
                    : -1;
            if (count <= 0) {
                m_ended = count == 0;
                return std::nullopt;
            }
            m_text.append(buffer, static_cast<size_t>(count));
        }
    }

    pid_t m_pid = -1;
    int m_input = -1;
    int m_output = -1;
    std::string m_text;
    size_t m_start = 0;  // where the next unread line starts in m_text
    bool m_ended = false;
    std::optional<int> m_status;
};

// A center on a port the system picks and parlon-cli nodes registered there, each in a
// directory of its own.
class NodeProcessTest : public ::testing::Test {
  protected:
    void StartCenter(std::vector<std::string> options) {
        options.insert(options.begin(), {PARLON_CENTER_PATH, "--listen", "127.0.0.1:0"});
        center_ = std::make_unique<Program>(options, centerDir_.Path());
        centerAddress_ = center_->Await("parlon-center: listening on ");
        centerAddress_.erase(0, centerAddress_.rfind(' ') + 1);
    }
    Program& StartNode(const std::string& nickname, uint16_t port,
                       const std::vector<std::string>& options = {}) {
        std::vector<std::string> argv{
            PARLON_CLI_PATH, "--json",      "--nick", nickname,
            "--ip",          "127.0.0.1",   "--port", std::to_string(port),
            "--center",      centerAddress_};
        argv.insert(argv.end(), options.begin(), options.end());
        dirs_.push_back(std::make_unique<test::TempDir>());
        nodes_.push_back(std::make_unique<Program>(argv, dirs_.back()->Path()));
        return *nodes_.back();
    }
    std::string LogOf(size_t node) const { return dirs_.at(node)->Read("Activity.log"); }
    void StopCenter(long signOffs) {
        center_->Signal(SIGTERM);
        EXPECT_EQ(center_->Wait(), 0);
        EXPECT_EQ(center_->Count("signed off"), signOffs) << center_->Output();
    }

    test::TempDir centerDir_;
    std::unique_ptr<Program> center_;
    std::string centerAddress_;
    std::vector<std::unique_ptr<test::TempDir>> dirs_;
    std::vector<std::unique_ptr<Program>> nodes_;
};

// The row index of `nickname` in a JSON list event, "none" when it is not listed.
std::string RowOf(const std::string& list, const std::string& nickname) {
    const nlohmann::json event = nlohmann::json::parse(list);
    for (const nlohmann::json& row : event.value("parlons", nlohmann::json::array())) {
        if (row["nickname"] == nickname) {
            return row["index"].dump();
        }
    }
    return "none";
}

TEST_F(NodeProcessTest, FourNodesCarryAMessageAndItsReplyAndEndCleanly) {
    StartCenter({"--hop-count", "3", "--poll-period", "50", "--register-period", "500",
                 "--switch-period", "500", "--reply-time", "1000"});
    std::vector<uint16_t> ports;
    for (int i = 0; i < 4; ++i) {  // each on a port the system picks, which it announces
        const std::string nickname = "node" + std::to_string(i);
        Program& node = StartNode(nickname, 0, {"--auto-reply", "auto " + nickname});
        const std::string listening = node.Await(R"({"event":"listening","port":)");
        ports.push_back(nlohmann::json::parse(listening)["port"].get<uint16_t>());
        EXPECT_NE(ports.back(), 0);
    }
    std::string list;
    for (const auto& node : nodes_) {  // each has all four in its list
        list = node->Await(R"({"event":"list")", R"("index":3)");
    }
    const std::string row = RowOf(list, "node3");  // the rows are the center's, in its order
    ASSERT_NE(row, "none") << list;
    Program& sender = *nodes_[0];
    Program& addressee = *nodes_[3];
    sender.Write("sned 0 typo");
    sender.Await(R"({"event":"error","text":")");
    sender.Write("send " + row + " hello there");
    sender.Await(R"({"event":"sending","to":"node3","text":"hello there"})");
    const std::string id = nlohmann::json::parse(addressee.Await(
        R"({"event":"message","id":)", R"(,"text":"hello there","replyTime":1000})"))["id"]
                               .dump();
    addressee.Await(R"({"event":"replying","id":)" + id + R"(,"text":"auto node3"})");
    sender.Await(R"({"event":"reply","message":"hello there","reply":"auto node3"})");

    // A node on a port that is taken (the sender's) cannot listen, says so, and goes on.
    Program& second = StartNode("Second", ports[0]);
    second.Await(R"({"event":"status","text":"Error Listening On Port!"})");
    second.Await(R"({"event":"error","text":"cannot listen on port )" + std::to_string(ports[0]) +
                 R"(: Address already in use"})");

    for (Program* node : {&sender, &addressee, &second}) {
        node->Write("quit");
    }
    nodes_[1]->Signal(SIGINT);  // acts as quit
    nodes_[2]->Signal(SIGHUP);  // its terminal closed: quit too
    long forwardings = 0;
    for (size_t i = 0; i < nodes_.size(); ++i) {
        EXPECT_EQ(nodes_[i]->Wait(), 0) << nodes_[i]->Output();
        EXPECT_TRUE(LogOf(i).ends_with("Application ended!!! *****\n"));
        forwardings += nodes_[i]->Count(R"({"event":"forwarding","ip":"127.0.0.1"})");
    }
    EXPECT_EQ(forwardings, 4);  // hop count 3: two hops out and two back, through any nodes
    StopCenter(4);              // Second never signed on
}

// `send INDEX` is for the parlon in that row when the command is given. Sent while the node is
// disconnected, the message waits for the next Connect; by then the list has changed: the
// message is sent to the parlon chosen though it moved to another row (its old row now names the
// sender itself). The sender's log is private: it names no text, recipient or address.
TEST_F(NodeProcessTest, ASendIsForTheParlonChosenNotForItsRow) {
    StartCenter({"--hop-count", "1", "--poll-period", "50", "--register-period", "200",
                 "--switch-period", "200"});
    // Started one after the other, so that the center lists them in this order.
    for (const char* nickname : {"Pat", "Xena", "Ann"}) {
        StartNode(nickname, 0, {"--private-log"}).Await(R"({"event":"status","text":"Connected"})");
    }
    Program& pat = *nodes_[0];
    Program& ann = *nodes_[2];
    const std::string before = ann.Await(R"({"event":"list")", R"("index":2)");
    ASSERT_EQ(RowOf(before, "Xena"), "1") << before;

    ann.Write("send 1 For Xena only\ndisconnect");
    ann.Await(R"({"event":"list","parlons":[]})");  // lists shown before are not the next one
    pat.Write("quit");
    ASSERT_EQ(pat.Wait(), 0);
    for (int signOffs = 0; signOffs < 2; ++signOffs) {  // Ann's disconnect and Pat's quit
        center_->Await("[", "signed off");
    }
    ann.Write("connect");
    const std::string after = ann.Await(R"({"event":"list")", R"("index":1)");
    ASSERT_EQ(RowOf(after, "Ann"), "1") << after;  // the row chosen now names the sender
    // Whether Xena takes it is not this test's question: a parlon takes packets only from the
    // parlons of its lists, and learns of Ann's new registration at its own next one.
    ann.Await(R"({"event":"sending","to":"Xena","text":"For Xena only"})");

    ann.Write("quit");
    EXPECT_EQ(ann.Wait(), 0);
    const std::string privateLog = LogOf(2);
    EXPECT_NE(privateLog.find("> Ann: - Sending a message.\n"), std::string::npos) << privateLog;
    for (const char* secret : {"Xena", "127.0.0.1"}) {
        EXPECT_EQ(privateLog.find(secret), std::string::npos) << privateLog;
    }
    StopCenter(3);
}

// A wrong value, from an option or Parlon.ini, ends parlon-cli with status 2 and the reason
// before the activity log is opened; a log that cannot be opened (here a directory), with
// status 1 and its name.
TEST_F(NodeProcessTest, AWrongStartEndsWithItsStatusAndReason) {
    const std::string longNickname = "[Client Params]\nNickname=ThirteenBytes\n";
    const struct {
        std::vector<std::string> arguments;
        std::string settings;
        int status;
        std::string said;
    } cases[] = {
        {{"--port", "abc"}, "", 2, "Please enter an integer."},
        {{"--port", "0 0"}, "", 2, "Please enter an integer."},  // not "any port"
        {{"--nick", "thirteen_char"}, "", 2, "no more than 12"},
        {{}, longNickname, 2, "Parlon.ini"},
        {{}, "[Client Params]\nPort Num=65536\n", 2, "1 to 65535"},  // its low 16 bits are 0
        {{"--ip", "256.0.0.1"}, "", 2, "--ip"},
        {{"--center", "127.0.0.1"}, "", 2, "A.B.C.D:PORT"},
        {{"--center", "127.0.0.1: +7878"}, "", 2, "A.B.C.D:PORT"},
        {{"--center", "127.0.0.1:0"}, "", 2, "1 to 65535"},
        {{"--auto-reply", std::string(111, 'r')}, "", 2, "--auto-reply"},
        {{"--nick", "thirteen_char", "--port", "-1"}, "", 2, "--port"},         // each one is told
        {{"--nick", "123456\xC3\xA9\xC3\xA9\xC3\xA9"}, "", 1, "Activity.log"},  // twelve bytes
        {{"--nick", "Short"}, longNickname, 1, "Activity.log"},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        dir.Write("Parlon.ini", c.settings);
        std::filesystem::create_directory(dir.Path() / "Activity.log");  // cannot be appended to
        std::vector<std::string> argv{PARLON_CLI_PATH};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        Program node(argv, dir.Path());
        EXPECT_EQ(node.Wait(), c.status) << node.Output();
        EXPECT_NE(node.Output().find(c.said), std::string::npos) << c.said << ": " << node.Output();
    }
}

}  // namespace
}  // namespace parlon
