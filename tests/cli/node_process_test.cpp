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

// How often `part` occurs in `text`.
long Count(const std::string& text, const std::string& part) {
    long count = 0;
    for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; ++at) {
        ++count;
    }
    return count;
}

// A program run in `dir` with its input and output (errors too) on pipes; killed at the end.
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

    // The next line starting with `start` and holding `part` within 30 s; "\n" reads to the end.
    std::string Await(const std::string& start, const std::string& part = {}) {
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
                EXPECT_TRUE(start == "\n") << "no line " << start << "..." << part << ":\n"
                                           << m_text;
                return "{}";
            }
            m_text.append(buffer, static_cast<size_t>(count));
        }
    }
    // Reads the rest of the output; the exit status once the program has ended, else nullopt.
    std::optional<int> Wait() {
        Await("\n");  // no line starts with a line feed
        int status = 0;
        if (!m_status && m_ended && ::waitpid(m_pid, &status, 0) == m_pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return m_status;
    }
    const std::string& Output() const { return m_text; }

  private:
    pid_t m_pid = -1;
    int m_input = -1;
    int m_output = -1;
    std::string m_text;
    size_t m_start = 0;  // where the next unread line starts in m_text
    bool m_ended = false;
    std::optional<int> m_status;
};

// A center on a port the system picks and parlon-cli nodes there, each in a directory of its own.
class NodeProcessTest : public ::testing::Test {
  protected:
    void StartCenter(std::vector<std::string> options) {
        options.insert(options.begin(), {PARLON_CENTER_PATH, "--listen", "127.0.0.1:0"});
        center_ = std::make_unique<Program>(options, centerDir_.Path());
        centerAddress_ = center_->Await("parlon-center: listening on ");
        centerAddress_.erase(0, centerAddress_.rfind(' ') + 1);
    }
    Program& StartNode(const std::string& nickname, const std::vector<std::string>& options) {
        std::vector<std::string> argv{PARLON_CLI_PATH, "--json",      "--nick", nickname,
                                      "--ip",          "127.0.0.1",   "--port", "0",
                                      "--center",      centerAddress_};
        argv.insert(argv.end(), options.begin(), options.end());
        dirs_.push_back(std::make_unique<test::TempDir>());
        nodes_.push_back(std::make_unique<Program>(argv, dirs_.back()->Path()));
        return *nodes_.back();
    }
    std::string LogOf(size_t node) const { return dirs_.at(node)->Read("Activity.log"); }

    test::TempDir centerDir_;
    std::unique_ptr<Program> center_;
    std::string centerAddress_;
    std::vector<std::unique_ptr<test::TempDir>> dirs_;
    std::vector<std::unique_ptr<Program>> nodes_;
};

// The row index of `nickname` in a JSON list event, "none" when it is not listed.
std::string RowOf(const std::string& list, const std::string& nickname) {
    const nlohmann::json event = nlohmann::json::parse(list);
    for (const nlohmann::json& row : event["parlons"]) {
        if (row["nickname"] == nickname) {
            return row["index"].dump();
        }
    }
    return "none";
}

// With private logs, which name no text, recipient or address.
TEST_F(NodeProcessTest, FourNodesCarryAMessageAndItsReplyAndEndCleanly) {
    StartCenter({"--hop-count", "3", "--poll-period", "50", "--register-period", "500",
                 "--switch-period", "500", "--reply-time", "1000"});
    for (int i = 0; i < 4; ++i) {
        const std::string nickname = "node" + std::to_string(i);
        Program& node = StartNode(nickname, {"--private-log", "--auto-reply", "auto " + nickname});
        EXPECT_NE(node.Await(R"({"event":"listening","port":)"),
                  R"({"event":"listening","port":0})");
    }
    std::string list;
    for (const auto& node : nodes_) {  // each has all four in its list
        list = node->Await(R"({"event":"list")", R"("index":3)");
    }
    const std::string row = RowOf(list, "node3");  // the rows are the center's, in its order
    ASSERT_NE(row, "none") << list;
    Program& sender = *nodes_[0];
    Program& addressee = *nodes_[3];
    sender.Write("send " + row + " hello there");
    sender.Await(R"({"event":"sending","to":"node3","text":"hello there"})");
    const std::string id = nlohmann::json::parse(addressee.Await(
        R"({"event":"message","id":)", R"(,"text":"hello there","replyTime":1000})"))["id"]
                               .dump();
    addressee.Await(R"({"event":"replying","id":)" + id + R"(,"text":"auto node3"})");
    sender.Await(R"({"event":"reply","message":"hello there","reply":"auto node3"})");
    sender.Write("disconnect");  // signs off, and the list is empty
    sender.Await(R"({"event":"list","parlons":[]})");
    center_->Await("[", "signed off");
    sender.Write("connect");
    sender.Await(R"({"event":"status","text":"Connected"})");

    for (Program* node : {&sender, &addressee}) {
        node->Write("quit");
    }
    nodes_[1]->Signal(SIGINT);  // acts as quit
    nodes_[2]->Signal(SIGHUP);  // its terminal closed: quit too
    long forwardings = 0;
    for (size_t i = 0; i < nodes_.size(); ++i) {
        EXPECT_EQ(nodes_[i]->Wait(), 0) << nodes_[i]->Output();
        const std::string log = LogOf(i);
        EXPECT_TRUE(log.ends_with("Application ended!!! *****\n"));
        const long forwarded =
            Count(nodes_[i]->Output(), R"({"event":"forwarding","ip":"127.0.0.1"})");
        EXPECT_EQ(Count(log, ": Forwarding a message that wasn't for us.\n"), forwarded) << log;
        forwardings += forwarded;
        for (const char* secret : {"hello", "auto", "127.0.0.1", i == 0 ? "node3" : "node0"}) {
            EXPECT_EQ(log.find(secret), std::string::npos) << log;
        }
    }
    EXPECT_EQ(forwardings, 4);  // hop count 3: two hops out and two back, through any nodes
    EXPECT_EQ(Count(LogOf(0), "> node0: - Sending a message.\n"), 1) << LogOf(0);
    EXPECT_EQ(Count(LogOf(3), "> node3: - Replying to a message.\n"), 1) << LogOf(3);
    center_->Signal(SIGTERM);
    EXPECT_EQ(center_->Wait(), 0);
    EXPECT_EQ(Count(center_->Output(), "signed off"), 5)
        << center_->Output();  // with the disconnect
}

// A wrong option or Parlon.ini value ends with status 2 and its reason; a log not opened, with 1.
TEST_F(NodeProcessTest, AWrongStartEndsWithItsStatusAndReason) {
    const struct {
        std::vector<std::string> arguments;
        std::string settings;
        int status;
        std::string said;
    } cases[] = {
        {{"--port", "0 0"}, "", 2, "Please enter an integer."},  // not "any port"
        {{}, "[Client Params]\nNickname=ThirteenBytes\n", 2, "Parlon.ini"},
        {{}, "[Client Params]\nPort Num=65536\n", 2, "1 to 65535"},  // its low 16 bits are 0
        {{"--center", "127.0.0.1"}, "", 2, "A.B.C.D:PORT"},
        {{"--center", "127.0.0.1:0"}, "", 2, "1 to 65535"},
        {{"--auto-reply", std::string(111, 'r')}, "", 2, "--auto-reply"},
        {{"--nick", "thirteen_char", "--port", "-1"}, "", 2, "--port"},         // each one is told
        {{"--nick", "123456\xC3\xA9\xC3\xA9\xC3\xA9"}, "", 1, "Activity.log"},  // twelve bytes
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
