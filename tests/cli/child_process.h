// ChildProcess: a program run by a test as a user would run it: its standard input and output
// are pipes the test writes and reads line by line, its standard error goes to a file, and it
// runs in a working directory of the test's choosing. A child still running when the object
// goes is killed and reaped (only this child, by its process id).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace parlon::testing {

class ChildProcess {
  public:
    using Clock = std::chrono::steady_clock;

    ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& workingDir,
                 const std::filesystem::path& stderrFile) {
        // Everything the child needs is prepared before fork: after it, only exec-safe calls.
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        const std::string dir = workingDir.string();
        const std::string errPath = stderrFile.string();
        int input[2];
        int output[2];
        if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe2 failed");
        }
        m_pid = ::fork();
        if (m_pid < 0) {
            throw std::runtime_error("fork failed");
        }
        if (m_pid == 0) {
            const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (err < 0 || ::dup2(input[0], 0) < 0 || ::dup2(output[1], 1) < 0 ||
                ::dup2(err, 2) < 0 || ::chdir(dir.c_str()) != 0) {
                ::_exit(126);
            }
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(input[0]);
        ::close(output[1]);
        m_input = input[1];
        m_output = output[0];
    }

    ~ChildProcess() {
        CloseInput();
        if (!m_exitStatus) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
        ::close(m_output);
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return m_pid; }

    // Writes `line` and a line feed to the child's standard input.
    bool WriteLine(std::string_view line) {
        std::string bytes(line);
        bytes += '\n';
        size_t written = 0;
        while (written < bytes.size()) {
            const ssize_t n = ::write(m_input, bytes.data() + written, bytes.size() - written);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            written += static_cast<size_t>(n);
        }
        return true;
    }

    void CloseInput() {
        if (m_input >= 0) {
            ::close(m_input);
            m_input = -1;
        }
    }

    // The next line of the child's standard output, without its line feed; nullopt when none
    // came before `deadline` or the output ended.
    std::optional<std::string> ReadLine(Clock::time_point deadline) {
        for (;;) {
            if (const size_t feed = m_pending.find('\n'); feed != std::string::npos) {
                std::string line = m_pending.substr(0, feed);
                m_pending.erase(0, feed + 1);
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return std::nullopt;
            }
            pollfd wait{m_output, POLLIN, 0};
            const int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0) {
                return std::nullopt;
            }
            char buffer[4096];
            const ssize_t n = ::read(m_output, buffer, sizeof buffer);
            if (n <= 0) {
                return std::nullopt;
            }
            m_pending.append(buffer, static_cast<size_t>(n));
        }
    }

    void Signal(int signal) {
        if (!m_exitStatus) {
            ::kill(m_pid, signal);
        }
    }

    // The exit status once the child has ended (128 + the signal if a signal ended it), or
    // nullopt when it is still running at `deadline`.
    std::optional<int> Wait(Clock::time_point deadline) {
        while (!m_exitStatus) {
            int status = 0;
            const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
            if (done == m_pid) {
                m_exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (Clock::now() >= deadline) {
                return std::nullopt;
            }
            ::usleep(10000);
        }
        return m_exitStatus;
    }

  private:
    pid_t m_pid = -1;
    int m_input = -1;
    int m_output = -1;
    std::string m_pending;
    std::optional<int> m_exitStatus;
};

}  // namespace parlon::testing
