// The parlon-center program itself, run as a process: its help, its errors, serving parlons
// and stopping cleanly on SIGTERM and SIGINT.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "net/asio_endpoint.h"
#include "net/center_connection.h"
#include "net/socket_stream.h"
#include "net_test_support.h"

extern char** environ;

namespace parlon {
namespace {

using namespace std::chrono_literals;

// parlon-center started with `arguments`, its standard error read line by line.
class CenterProcess {
  public:
    explicit CenterProcess(const std::vector<std::string>& arguments) {
        int pipeEnds[2];
        if (::pipe(pipeEnds) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
        std::vector<std::string> all = {PARLON_CENTER_PATH};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& argument : all) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        if (::posix_spawn(&m_pid, PARLON_CENTER_PATH, &actions, nullptr, argv.data(), environ) !=
            0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeEnds[1]);
        m_output = pipeEnds[0];
    }
    CenterProcess(const CenterProcess&) = delete;
    CenterProcess& operator=(const CenterProcess&) = delete;
    ~CenterProcess() {
        if (m_pid > 0 && !m_exitStatus) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_output);
    }

    bool Started() const { return m_pid > 0; }

    // The next output line containing `text`, or nullopt when none comes within `timeout`.
    std::optional<std::string> LineWith(const std::string& text,
                                        std::chrono::milliseconds timeout = 5s) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (true) {
            for (size_t newline; (newline = m_pending.find('\n')) != std::string::npos;) {
                std::string line = m_pending.substr(0, newline);
                m_pending.erase(0, newline + 1);
                m_seen += line + "\n";
                if (line.find(text) != std::string::npos) {
                    return line;
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd readable{m_output, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) != 1) {
                return std::nullopt;
            }
            char buffer[4096];
            const ssize_t read = ::read(m_output, buffer, sizeof buffer);
            if (read <= 0) {
                return std::nullopt;
            }
            m_pending.append(buffer, static_cast<size_t>(read));
        }
    }

    // Everything read so far (for failure messages).
    const std::string& Seen() const { return m_seen; }

    void Signal(int signal) const { ::kill(m_pid, signal); }

    // The exit code once the process has ended within `timeout`; nullopt if it has not, or
    // when it was ended by a signal.
    std::optional<int> ExitCode(std::chrono::milliseconds timeout = 5s) {
        if (!test::Eventually([&] { return Reap(); }, timeout)) {
            return std::nullopt;
        }
        if (!WIFEXITED(*m_exitStatus)) {
            return std::nullopt;
        }
        return WEXITSTATUS(*m_exitStatus);
    }

  private:
    bool Reap() {
        int status = 0;
        if (!m_exitStatus && ::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_exitStatus = status;
        }
        return m_exitStatus.has_value();
    }

    pid_t m_pid = -1;
    int m_output = -1;
    std::string m_pending;
    std::string m_seen;
    std::optional<int> m_exitStatus;
};

class CenterProcessTest : public ::testing::Test {
  protected:
    // Starts a center on a free loopback port and learns the port from its first line.
    void StartCenter(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--listen", "127.0.0.1:0"});
        m_process = std::make_unique<CenterProcess>(arguments);
        ASSERT_TRUE(m_process->Started());
        const std::optional<std::string> line = m_process->LineWith("listening on 127.0.0.1:");
        ASSERT_TRUE(line) << m_process->Seen();
        m_address = {ParseIpv4("127.0.0.1"),
                     static_cast<uint16_t>(std::stoi(line->substr(line->rfind(':') + 1)))};
    }

    std::unique_ptr<CenterConnection> Link(uint16_t port, std::string_view nickname) {
        return std::make_unique<CenterConnection>(
            test::MakeEntry(port, nickname, "key " + std::string(nickname)), m_address,
            TransportDeadlines{1s, 1s, 2s});
    }

    std::unique_ptr<CenterProcess> m_process;
    PeerAddress m_address;
};

TEST_F(CenterProcessTest, HelpListsTheOptionsAndExitsWithZero) {
    CenterProcess help({"--help"});
    ASSERT_TRUE(help.Started());
    EXPECT_TRUE(help.LineWith("--register-period")) << help.Seen();
    EXPECT_EQ(help.ExitCode(), 0);
}

TEST_F(CenterProcessTest, AWrongArgumentEndsWithAnErrorCode) {
    CenterProcess wrong({"--listen", "nowhere"});
    ASSERT_TRUE(wrong.Started());
    EXPECT_TRUE(wrong.LineWith("--listen")) << wrong.Seen();
    const std::optional<int> code = wrong.ExitCode();
    ASSERT_TRUE(code);
    EXPECT_NE(*code, 0);
}

TEST_F(CenterProcessTest, ServesParlonsAndStopsCleanlyOnSigterm) {
    StartCenter({"--expire", "400", "--hop-count", "4"});
    std::unique_ptr<CenterConnection> alice = Link(7001, "alice");
    std::unique_ptr<CenterConnection> bob = Link(7002, "bob");
    std::vector<ParlonEntry> list;
    CenterSchedule schedule;
    ASSERT_TRUE(alice->Register(list, schedule));
    ASSERT_TRUE(bob->Register(list, schedule));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].NicknameText(), "alice");
    EXPECT_EQ(list[0].PublicKeyText(), "key alice");
    EXPECT_EQ(list[1].NicknameText(), "bob");
    EXPECT_EQ(schedule.hopCount, 4u);
    EXPECT_TRUE(m_process->LineWith("registered 127.0.0.1:7002 \"bob\"")) << m_process->Seen();

    bob.reset();  // signs off
    EXPECT_TRUE(m_process->LineWith("signed off 127.0.0.1:7002")) << m_process->Seen();
    EXPECT_TRUE(m_process->LineWith("expired 127.0.0.1:7001")) << m_process->Seen();
    ASSERT_TRUE(alice->Register(list, schedule));
    EXPECT_EQ(list.size(), 1u);

    m_process->Signal(SIGTERM);
    EXPECT_EQ(m_process->ExitCode(), 0);
}

TEST_F(CenterProcessTest, StopsCleanlyOnSigintWithAConnectionOpen) {
    StartCenter({});
    // A silent client would be served for the whole request deadline (10 s by default); the
    // signal must not wait for it.
    SocketStream silent(m_address, SocketStream::Clock::now() + 2s);
    m_process->Signal(SIGINT);
    EXPECT_TRUE(m_process->LineWith("stopping on signal")) << m_process->Seen();
    EXPECT_EQ(m_process->ExitCode(), 0);
}

TEST_F(CenterProcessTest, APortThatIsTakenEndsWithAnErrorCode) {
    StartCenter({});
    CenterProcess second({"--listen", EndpointText(m_address)});
    ASSERT_TRUE(second.Started());
    EXPECT_TRUE(second.LineWith("cannot listen")) << second.Seen();
    const std::optional<int> code = second.ExitCode();
    ASSERT_TRUE(code);
    EXPECT_NE(*code, 0);
}

}  // namespace
}  // namespace parlon
