// RedisServer: a redis-server of one test (or benchmark) on a free loopback port, keeping
// nothing on disk, killed and reaped with the object. It can be stopped and started again on
// the same port, to play a store that goes away and comes back.
//
//   test::RedisServer redis;
//   ASSERT_TRUE(redis.Running()) << redis.Error();   // never skip: say why it did not start
//
// THREAD SAFETY: one owner thread.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "center/redis_connection.h"

namespace parlon::test {

class RedisServer {
  public:
    RedisServer() : m_port(FreeLoopbackPort()) { Start(); }
    ~RedisServer() { Stop(); }
    RedisServer(const RedisServer&) = delete;
    RedisServer& operator=(const RedisServer&) = delete;

    // Starts redis-server on this object's port and waits until it answers PING (5 s at most).
    // False with Error() set when it does not.
    bool Start() {
        const std::string port = std::to_string(m_port);
        std::vector<const char*> arguments = {
            "redis-server", "--port", port.c_str(), "--bind",  "127.0.0.1", "--save", "",
            "--appendonly", "no",     "--loglevel", "warning", "--dir",     "/tmp",   nullptr};
        // A child of its own that dies with the test, even when the test is killed or aborts
        // before the destructor runs. Between fork and exec only async-signal-safe calls.
        m_pid = ::fork();
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
            ::execvp(arguments[0], const_cast<char* const*>(arguments.data()));
            ::_exit(127);
        }
        if (m_pid < 0) {
            m_error = "cannot start redis-server: " + std::string(strerror(errno));
            return false;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                m_error = WIFEXITED(status) && WEXITSTATUS(status) == 127
                              ? "cannot run redis-server; scripts/install-deps installs it"
                              : "redis-server on 127.0.0.1:" + port + " ended at once";
                return false;
            }
            std::string ignored;
            auto connection =
                RedisConnection::Open("127.0.0.1", m_port, std::chrono::milliseconds(200), ignored);
            if (connection != nullptr && connection->Command({"PING"}) != nullptr) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        m_error = "redis-server on 127.0.0.1:" + port + " did not answer within 5 s";
        Stop();
        return false;
    }

    // Kills the server at once, as a crash would.
    void Stop() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

    bool Running() const { return m_pid > 0; }
    const std::string& Error() const { return m_error; }
    uint16_t Port() const { return m_port; }
    std::string Address() const { return "redis://127.0.0.1:" + std::to_string(m_port); }

  private:
    // A loopback port nothing listens on (bound, then closed again).
    static uint16_t FreeLoopbackPort() {
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
        ::close(probe);
        return ntohs(address.sin_port);
    }

    uint16_t m_port;
    pid_t m_pid = -1;
    std::string m_error;
};

}  // namespace parlon::test
