#include "center/redis_connection.h"

#include <poll.h>
#include <sys/time.h>

#include <cassert>
#include <vector>

namespace parlon {

namespace {

timeval ToTimeval(std::chrono::milliseconds duration) {
    timeval value{};
    value.tv_sec = static_cast<time_t>(duration.count() / 1000);
    value.tv_usec = static_cast<suseconds_t>((duration.count() % 1000) * 1000);
    return value;
}

}  // namespace

std::string_view ReplyText(const redisReply& reply) {
    assert(reply.type == REDIS_REPLY_STRING || reply.type == REDIS_REPLY_STATUS ||
           reply.type == REDIS_REPLY_ERROR);
    return {reply.str, reply.len};
}

std::unique_ptr<RedisConnection> RedisConnection::Open(const std::string& host, uint16_t port,
                                                       std::chrono::milliseconds timeout,
                                                       std::string& error) {
    redisContext* context = redisConnectWithTimeout(host.c_str(), port, ToTimeval(timeout));
    if (context == nullptr) {
        error = "out of memory";
        return nullptr;
    }
    std::unique_ptr<RedisConnection> connection(new RedisConnection(context));
    if (context->err != 0) {
        error = connection->Error();
        return nullptr;
    }
    if (redisSetTimeout(context, ToTimeval(timeout)) != REDIS_OK) {
        error = connection->Error();
        return nullptr;
    }
    return connection;
}

RedisConnection::~RedisConnection() {
    redisFree(m_context);
}

RedisReply RedisConnection::Command(std::span<const std::string_view> arguments) {
    std::vector<const char*> starts;
    std::vector<size_t> lengths;
    starts.reserve(arguments.size());
    lengths.reserve(arguments.size());
    for (const std::string_view argument : arguments) {
        starts.push_back(argument.data());
        lengths.push_back(argument.size());
    }
    return RedisReply(static_cast<redisReply*>(redisCommandArgv(
        m_context, static_cast<int>(starts.size()), starts.data(), lengths.data())));
}

bool RedisConnection::PeerClosed() const {
    pollfd watched{.fd = m_context->fd, .events = POLLIN | POLLRDHUP, .revents = 0};
    return ::poll(&watched, 1, 0) != 0;
}

std::string RedisConnection::Error() const {
    if (m_context->err == 0) {
        return "no error";
    }
    return m_context->errstr;
}

}  // namespace parlon
