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
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "center/redis_connection.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace parlon::test {

class RedisServer {
  public:
    RedisServer() : m_port(UnusedPort().port) { Start(); }
    ~RedisServer() { Stop(); }
    RedisServer(const RedisServer&) = delete;
    RedisServer& operator=(const RedisServer&) = delete;

    // Starts redis-server on this object's port and waits until it answers PING (5 s at most).
    // False with Error() set when it does not.
    bool Start() {
        const std::string where = "redis-server on 127.0.0.1:" + std::to_string(m_port);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        m_pid = StartChildProcess(
            {"redis-server", "--port", std::to_string(m_port), "--bind", "127.0.0.1", "--save", "",
             "--appendonly", "no", "--loglevel", "warning", "--dir", "/tmp"},
            "/tmp", {.output = null, .error = null});
        ::close(null);
        int status = 0;
        bool ended = false;
        const bool answered = Eventually([&] {
            ended = ::waitpid(m_pid, &status, WNOHANG) == m_pid;
            std::string ignored;
            const auto connection =
                ended ? nullptr
                      : RedisConnection::Open("127.0.0.1", m_port, std::chrono::milliseconds(200),
                                              ignored);
            return ended || (connection != nullptr && connection->Command({"PING"}) != nullptr);
        });
        if (ended) {
            m_pid = -1;
            m_error = WIFEXITED(status) && WEXITSTATUS(status) == 127
                          ? "cannot run redis-server; scripts/install-deps installs it"
                          : where + " ended at once";
        } else if (!answered) {
            m_error = where + " did not answer within 5 s";
            Stop();
        }
        return Running();
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
    uint16_t m_port;
    pid_t m_pid = -1;
    std::string m_error;
};

}  // namespace parlon::test
