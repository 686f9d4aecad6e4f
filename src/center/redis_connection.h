// RedisConnection: one connection to a Redis server through hiredis, closed with the object;
// RedisReply: one reply, freed with the object.
//
//   std::string error;
//   auto redis = RedisConnection::Open("127.0.0.1", 6379, 500ms, error);  // null: see error
//   RedisReply pong = redis->Command({"PING"});                         // null: connection lost
//
// Every call blocks until the reply or the timeout given at Open. After a failed command the
// connection is unusable (hiredis's rule); the owner opens a new one.
//
// THREAD SAFETY: none; one thread uses a connection at a time.
#pragma once

#include <hiredis/hiredis.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace parlon {

struct RedisReplyDeleter {
    void operator()(redisReply* reply) const noexcept { freeReplyObject(reply); }
};
using RedisReply = std::unique_ptr<redisReply, RedisReplyDeleter>;

// The text of a string, status or error reply, or of one element of an array reply.
// REQUIRES: reply of one of those types.
std::string_view ReplyText(const redisReply& reply);

class RedisConnection {
  public:
    // Connects within `timeout`, which also bounds every command later. Null on failure, with
    // `error` saying why.
    static std::unique_ptr<RedisConnection> Open(const std::string& host, uint16_t port,
                                                 std::chrono::milliseconds timeout,
                                                 std::string& error);
    RedisConnection(const RedisConnection&) = delete;
    RedisConnection& operator=(const RedisConnection&) = delete;
    ~RedisConnection();

    // Sends one command, its arguments binary-safe, and waits for the reply. Null when the
    // connection failed (Error() says why); an error reply from the server is a reply.
    [[nodiscard]] RedisReply Command(std::span<const std::string_view> arguments);
    [[nodiscard]] RedisReply Command(std::initializer_list<std::string_view> arguments) {
        return Command(std::span(arguments.begin(), arguments.size()));
    }

    // Whether the server has closed the connection (or it broke) since the last reply, seen
    // without waiting: a server that sends nothing unasked is readable only when it is gone.
    bool PeerClosed() const;

    // Why the last command or the connection failed.
    std::string Error() const;

  private:
    explicit RedisConnection(redisContext* context) : m_context(context) {}

    redisContext* m_context;  // owned; freed by the destructor
};

}  // namespace parlon
