// parlon-cli run as a user runs it: a real parlon-center and several nodes as processes on
// 127.0.0.1, commands written to their standard input, events read from their standard output.
// Every wait is bounded; the periods are short so that the whole program stays well under a
// minute.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "support/temp_dir.h"

namespace parlon {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using Json = nlohmann::json;
using Clock = ChildProcess::Clock;

constexpr auto kStartLimit = 30s;  // key generation of several nodes on a busy machine
constexpr auto kStepLimit = 20s;

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

size_t CountOf(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// A port nobody listens on right now: bound to port 0 and released again.
uint16_t FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot find a free port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

// parlon-center on a free loopback port, its log in a file.
class CenterProcess {
  public:
    explicit CenterProcess(const std::vector<std::string>& settings) {
        std::vector<std::string> argv{PARLON_CENTER_PATH, "--listen", "127.0.0.1:0"};
        argv.insert(argv.end(), settings.begin(), settings.end());
        m_process = std::make_unique<ChildProcess>(argv, m_dir.Path(), m_dir.Path() / "center.log");
        const std::regex listening("listening on 127\\.0\\.0\\.1:([0-9]+)");
        const auto deadline = Clock::now() + 10s;
        std::smatch match;
        std::string log;
        while (!std::regex_search(log = Log(), match, listening) && Clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        if (match.empty()) {
            throw std::runtime_error("parlon-center did not start: " + log);
        }
        m_port = match[1].str();
    }
    ~CenterProcess() {
        m_process->Signal(SIGTERM);
        m_process->Wait(Clock::now() + 5s);
    }

    std::string Address() const { return "127.0.0.1:" + m_port; }
    std::string Log() const { return ReadFile(m_dir.Path() / "center.log"); }

  private:
    testing::TempDir m_dir;
    std::unique_ptr<ChildProcess> m_process;
    std::string m_port;
};

// One parlon-cli in a working directory of its own.
class NodeProcess {
  public:
    NodeProcess(const std::string& nickname, const std::vector<std::string>& options)
        : m_nickname(nickname), m_port(FreeLoopbackPort()) {
        std::vector<std::string> argv{
            PARLON_CLI_PATH,       "--nick", nickname, "--ip", "127.0.0.1", "--port",
            std::to_string(m_port)};
        argv.insert(argv.end(), options.begin(), options.end());
        m_process = std::make_unique<ChildProcess>(argv, m_dir.Path(), m_dir.Path() / "stderr.txt");
    }

    ChildProcess& Process() { return *m_process; }
    const std::string& Nickname() const { return m_nickname; }
    uint16_t Port() const { return m_port; }
    const std::filesystem::path& Dir() const { return m_dir.Path(); }
    std::string Log() const { return ReadFile(m_dir.Path() / "Activity.log"); }
    std::string Stderr() const { return ReadFile(m_dir.Path() / "stderr.txt"); }
    const std::vector<std::string>& Seen() const { return m_seen; }

    // Reads output lines until one satisfies `wanted`; returns it, or fails the test with what
    // was seen when none does within `limit`.
    std::string NextLine(const std::function<bool(const std::string&)>& wanted,
                         std::chrono::seconds limit = kStepLimit) {
        const auto deadline = Clock::now() + limit;
        while (const std::optional<std::string> line = m_process->ReadLine(deadline)) {
            m_seen.push_back(*line);
            if (wanted(*line)) {
                return *line;
            }
        }
        ADD_FAILURE() << m_nickname << " never printed the line awaited; it printed:\n"
                      << Joined() << "stderr: " << Stderr();
        return {};
    }

    // The same for JSON events: the next event whose "event" is `kind` and that satisfies `wanted`.
    Json NextEvent(const std::string& kind, const std::function<bool(const Json&)>& wanted = {},
                   std::chrono::seconds limit = kStepLimit) {
        Json found;
        NextLine(
            [&](const std::string& line) {
                const Json event = Json::parse(line, nullptr, false);
                EXPECT_FALSE(event.is_discarded()) << "not JSON: " << line;
                if (event.is_object() && event.value("event", "") == kind &&
                    (!wanted || wanted(event))) {
                    found = event;
                    return true;
                }
                return false;
            },
            limit);
        return found;
    }

    // Quits and returns the exit status (nullopt when the node did not end in time).
    std::optional<int> Quit() {
        m_process->WriteLine("quit");
        return m_process->Wait(Clock::now() + kStepLimit);
    }

  private:
    std::string Joined() const {
        std::string all;
        for (const std::string& line : m_seen) {
            all += line + "\n";
        }
        return all;
    }

    testing::TempDir m_dir;
    std::string m_nickname;
    uint16_t m_port;
    std::unique_ptr<ChildProcess> m_process;
    std::vector<std::string> m_seen;
};

bool EndsWithEndLine(const std::string& log, const std::string& nickname) {
    return log.ends_with("> " + nickname + ": ***** Application ended!!! *****\n");
}

class NodeProcessTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::signal(SIGPIPE, SIG_IGN);
    }  // a node that died reads no input
};

TEST_F(NodeProcessTest, AMessageAndItsReplyCrossFourNodesAtHopCountThree) {
    CenterProcess center({"--hop-count", "3", "--poll-period", "50", "--register-period", "500",
                          "--switch-period", "500", "--reply-time", "1000"});
    std::vector<std::unique_ptr<NodeProcess>> nodes;
    for (int i = 0; i < 4; ++i) {
        const std::string nickname = "node" + std::to_string(i);
        nodes.push_back(std::make_unique<NodeProcess>(
            nickname, std::vector<std::string>{"--center", center.Address(), "--json",
                                               "--auto-reply", "auto from " + nickname}));
    }
    // Every node has the whole network in its list.
    Json list;
    for (auto& node : nodes) {
        list = node->NextEvent(
            "list", [](const Json& e) { return e["parlons"].size() == 4; }, kStartLimit);
    }
    ASSERT_FALSE(HasFailure());
    NodeProcess& sender = *nodes.front();
    NodeProcess& addressee = *nodes.back();
    // The rows follow the center's order; find the addressee's row in the sender's list.
    list = sender.NextEvent("list", [](const Json& e) { return e["parlons"].size() == 4; });
    int row = -1;
    for (const Json& parlon : list["parlons"]) {
        if (parlon["nickname"] == addressee.Nickname()) {
            row = parlon["index"];
            EXPECT_EQ(parlon["port"], addressee.Port());
            EXPECT_EQ(parlon["ip"], "127.0.0.1");
        }
    }
    ASSERT_GE(row, 0);

    sender.Process().WriteLine("send " + std::to_string(row) + " hello there");
    const Json sending = sender.NextEvent("sending");
    EXPECT_EQ(sending["to"], addressee.Nickname());
    EXPECT_EQ(sending["text"], "hello there");
    const Json reply = sender.NextEvent("reply");
    EXPECT_EQ(reply["message"], "hello there");
    EXPECT_EQ(reply["reply"], "auto from node3");

    const Json message = addressee.NextEvent("message");
    EXPECT_EQ(message["text"], "hello there");
    EXPECT_EQ(message["replyTime"], 1000);
    const Json replying = addressee.NextEvent("replying");
    EXPECT_EQ(replying["id"], message["id"]);
    EXPECT_EQ(replying["text"], "auto from node3");

    size_t forwardings = 0;
    for (auto& node : nodes) {
        EXPECT_EQ(node->Quit(), 0) << node->Nickname();
        const std::string log = node->Log();
        EXPECT_TRUE(EndsWithEndLine(log, node->Nickname())) << log;
        forwardings += CountOf(log, ": Forwarding a message that wasn't for us to ip 127.0.0.1.");
    }
    // Two relays carry the message out and the reply back.
    EXPECT_EQ(forwardings, 4u);
    EXPECT_NE(sender.Log().find("node0: - Sending \"hello there\" to node3."), std::string::npos);
    EXPECT_NE(sender.Log().find("node0: - Just recieved a new reply!"), std::string::npos);
    EXPECT_NE(addressee.Log().find("node3: - Just recieved a new message!"), std::string::npos);
    EXPECT_NE(addressee.Log().find("node3: - Replying \"auto from node3\" with Message ID " +
                                   std::to_string(message["id"].get<int>()) + "."),
              std::string::npos);
    // Every node signed off when it quit.
    EXPECT_EQ(CountOf(center.Log(), "signed off"), 4u) << center.Log();
}

TEST_F(NodeProcessTest, WrongCommandsPrintErrorsAndTheNodeOutlivesTheEndOfItsInput) {
    CenterProcess center(
        {"--register-period", "300", "--switch-period", "300", "--poll-period", "50"});
    NodeProcess node("Typist", {"--center", center.Address()});  // readable text, not JSON
    node.NextLine([](const std::string& line) { return line == "status: Connected"; }, kStartLimit);
    const auto isError = [](const std::string& line) { return line.starts_with("error: "); };
    for (const char* wrong :
         {"bogus", "send 5 nobody there", "reply 9 to nothing", "connect", "list everything"}) {
        node.Process().WriteLine(wrong);
        node.NextLine(isError);
    }
    node.Process().WriteLine("list");
    node.NextLine([](const std::string& line) { return line.starts_with("list: 0 \"Typist\""); });

    node.Process().CloseInput();
    // Still registering after the end of its input.
    node.NextLine(
        [](const std::string& line) { return line == "status: Registering On Center..."; });
    node.NextLine([](const std::string& line) { return line == "status: Connected"; });
    node.Process().Signal(SIGINT);
    EXPECT_EQ(node.Process().Wait(Clock::now() + kStepLimit), 0);
    EXPECT_TRUE(EndsWithEndLine(node.Log(), "Typist")) << node.Log();
    EXPECT_EQ(CountOf(node.Log(), "Initialize encryption"), 1u);  // the refused connect did nothing
    EXPECT_EQ(CountOf(center.Log(), "signed off"), 1u) << center.Log();
}

TEST_F(NodeProcessTest, DisconnectSignsOffAndConnectRegistersAgain) {
    CenterProcess center({"--register-period", "300", "--switch-period", "300"});
    NodeProcess node("Toggler", {"--center", center.Address(), "--json"});
    node.NextEvent(
        "list", [](const Json& e) { return e["parlons"].size() == 1; }, kStartLimit);
    node.Process().WriteLine("disconnect");
    node.NextEvent("status", [](const Json& e) { return e["text"] == "Disconnected"; });
    node.NextEvent("list", [](const Json& e) { return e["parlons"].empty(); });
    node.Process().WriteLine("disconnect");
    node.NextEvent("error");
    node.Process().WriteLine("connect");
    node.NextEvent("status", [](const Json& e) { return e["text"] == "Connected"; });
    node.NextEvent("list", [](const Json& e) { return e["parlons"].size() == 1; });
    node.Process().Signal(SIGTERM);
    EXPECT_EQ(node.Process().Wait(Clock::now() + kStepLimit), 0);
    EXPECT_TRUE(EndsWithEndLine(node.Log(), "Toggler")) << node.Log();
    EXPECT_EQ(CountOf(node.Log(), "Toggler: Deinitialize encryption and disconnect from server..."),
              1u);
    EXPECT_EQ(CountOf(center.Log(), "signed off"), 2u) << center.Log();
}

TEST_F(NodeProcessTest, ACenterThatCannotBeReachedLeavesTheNodeRunning) {
    NodeProcess node("Alone",
                     {"--center", "127.0.0.1:" + std::to_string(FreeLoopbackPort()), "--json"});
    node.NextEvent(
        "status", [](const Json& e) { return e["text"] == "Error Reistering On Center!"; },
        kStartLimit);
    node.Process().WriteLine("send 0 hi");
    node.NextEvent("error");
    EXPECT_EQ(node.Quit(), 0);
    EXPECT_TRUE(EndsWithEndLine(node.Log(), "Alone")) << node.Log();
}

TEST_F(NodeProcessTest, APortThatIsTakenShowsTheListenerErrorAndTheNodeGoesOn) {
    CenterProcess center({});
    NodeProcess first("First", {"--center", center.Address(), "--json"});
    first.NextEvent(
        "status", [](const Json& e) { return e["text"] == "Connected"; }, kStartLimit);
    // A second node on the port the first one listens on: it must not announce that port.
    ChildProcess second({PARLON_CLI_PATH, "--nick", "Second", "--ip", "127.0.0.1", "--port",
                         std::to_string(first.Port()), "--center", center.Address(), "--json"},
                        first.Dir(), first.Dir() / "second-stderr.txt");
    const auto deadline = Clock::now() + kStartLimit;
    bool statusShown = false;
    bool errorShown = false;
    while (!(statusShown && errorShown)) {
        const std::optional<std::string> line = second.ReadLine(deadline);
        ASSERT_TRUE(line) << "no listener error from the second node";
        const Json event = Json::parse(*line);
        statusShown |= event["event"] == "status" && event["text"] == "Error Listening On Port!";
        errorShown |= event["event"] == "error" &&
                      event["text"].get<std::string>().find(std::to_string(first.Port())) !=
                          std::string::npos;
    }
    second.WriteLine("list");
    const std::optional<std::string> list = second.ReadLine(Clock::now() + kStepLimit);
    ASSERT_TRUE(list);
    EXPECT_EQ(*list, R"({"event":"list","parlons":[]})");
    second.WriteLine("quit");
    EXPECT_EQ(second.Wait(Clock::now() + kStepLimit), 0);
    EXPECT_EQ(CountOf(center.Log(), "\"Second\""), 0u) << center.Log();
    EXPECT_EQ(first.Quit(), 0);
}

TEST_F(NodeProcessTest, AWrongValueAtStartEndsWithStatusTwoBeforeAnythingIsLogged) {
    testing::TempDir dir;
    ChildProcess node({PARLON_CLI_PATH, "--nick", "Bad", "--port", "0"}, dir.Path(),
                      dir.Path() / "stderr.txt");
    EXPECT_EQ(node.Wait(Clock::now() + kStepLimit), 2);
    const std::string error = ReadFile(dir.Path() / "stderr.txt");
    EXPECT_NE(error.find("1 to 65535"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "Activity.log"));
}

TEST_F(NodeProcessTest, AnActivityLogThatCannotBeOpenedEndsWithStatusOneNamingTheFile) {
    testing::TempDir dir;
    std::filesystem::create_directory(dir.Path() /
                                      "Activity.log");  // a directory cannot be appended to
    ChildProcess node({PARLON_CLI_PATH, "--nick", "NoLog"}, dir.Path(), dir.Path() / "stderr.txt");
    EXPECT_EQ(node.Wait(Clock::now() + kStepLimit), 1);
    const std::string error = ReadFile(dir.Path() / "stderr.txt");
    EXPECT_NE(error.find("Activity.log"), std::string::npos) << error;
}

}  // namespace
}  // namespace parlon
