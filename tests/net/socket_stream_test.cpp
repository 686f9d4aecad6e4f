// SocketStream: the deadline-bounded client connection under every exchange.
#include "net/socket_stream.h"

#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>
#include <chrono>

#include "net/asio_endpoint.h"
#include "net/com_exception.h"
#include "net_test_support.h"
#include "scripted_server.h"

namespace parlon {
namespace {

using namespace std::chrono_literals;
using test::ScriptedServer;
using Clock = SocketStream::Clock;

constexpr auto kGenerous = 5s;  // for steps that must succeed

class SocketStreamTest : public ::testing::Test {
  protected:
    // A server that sends `reply` and closes.
    static ScriptedServer Replying(std::vector<uint8_t> reply) {
        return ScriptedServer(
            [reply](asio::ip::tcp::socket& socket) { test::WriteAll(socket, reply); });
    }

    static ByteBuffer ReadAllFrom(const PeerAddress& server, size_t maxBytes) {
        SocketStream stream(server, Clock::now() + kGenerous);
        return stream.ReadToEnd(maxBytes, Clock::now() + kGenerous);
    }
};

TEST_F(SocketStreamTest, PeerReceivesEveryByteWrittenThenTheEnd) {
    test::Captures received;
    ScriptedServer server([&received](asio::ip::tcp::socket& socket) {
        received.Put(test::ReadUntilClosed(socket));
    });
    for (const size_t length : {size_t{0}, size_t{1}, size_t{65536 + 17}}) {
        const std::vector<uint8_t> sent = test::Pattern(length);
        SocketStream stream(server.Address(), Clock::now() + kGenerous);
        stream.WriteAll(sent, Clock::now() + kGenerous);
        stream.Finish();
        EXPECT_EQ(received.Take(kGenerous), sent) << "length " << length;
    }
}

TEST_F(SocketStreamTest, ReadsEverythingUntilThePeerCloses) {
    for (const size_t length : {size_t{0}, size_t{1}, size_t{1024}, size_t{70000}}) {
        const std::vector<uint8_t> reply = test::Pattern(length);
        ScriptedServer server = Replying(reply);
        const ByteBuffer read = ReadAllFrom(server.Address(), 1 << 20);
        EXPECT_EQ(std::vector<uint8_t>(read.Bytes().begin(), read.Bytes().end()), reply);
    }
}

TEST_F(SocketStreamTest, ReadBoundTakesExactlyTheBoundAndRefusesOneMore) {
    constexpr size_t kBound = 4096;
    {
        ScriptedServer server = Replying(test::Pattern(kBound));
        EXPECT_EQ(ReadAllFrom(server.Address(), kBound).Length(), kBound);
    }
    ScriptedServer server = Replying(test::Pattern(kBound + 1));
    EXPECT_EQ(test::ComErrorOf([&] { ReadAllFrom(server.Address(), kBound); }),
              asio::error::message_size);
}

TEST_F(SocketStreamTest, ConnectingToAClosedPortIsRefused) {
    EXPECT_EQ(test::ComErrorOf([] { SocketStream(test::UnusedPort(), Clock::now() + kGenerous); }),
              asio::error::connection_refused);
}

TEST_F(SocketStreamTest, ConnectingGivesUpAtItsDeadline) {
    // A listener whose backlog is full drops further connection requests, so the next
    // connect hangs until its deadline.
    const test::FullBacklog full;
    const auto started = Clock::now();
    EXPECT_EQ(test::ComErrorOf([&] { SocketStream(full.Address(), Clock::now() + 200ms); }),
              asio::error::timed_out);
    EXPECT_GE(Clock::now() - started, 200ms);
}

TEST_F(SocketStreamTest, ReadingASilentPeerGivesUpAtTheDeadline) {
    ScriptedServer silent([](asio::ip::tcp::socket& socket) { test::ReadUntilClosed(socket); });
    SocketStream stream(silent.Address(), Clock::now() + kGenerous);
    const auto started = Clock::now();
    EXPECT_EQ(test::ComErrorOf([&] { stream.ReadToEnd(100, Clock::now() + 200ms); }),
              asio::error::timed_out);
    EXPECT_GE(Clock::now() - started, 200ms);
}

TEST_F(SocketStreamTest, AResetInTheMiddleOfAReadFails) {
    ScriptedServer resetting([](asio::ip::tcp::socket& socket) {
        test::WriteAll(socket, test::Pattern(100));
        test::Reset(socket);
    });
    EXPECT_EQ(test::ComErrorOf([&] { ReadAllFrom(resetting.Address(), 1000); }),
              asio::error::connection_reset);
}

TEST_F(SocketStreamTest, FinishingAfterTheStreamFailedThrows) {
    ScriptedServer silent([](asio::ip::tcp::socket& socket) { test::ReadUntilClosed(socket); });
    SocketStream stream(silent.Address(), Clock::now() + kGenerous);
    EXPECT_TRUE(test::ComErrorOf([&] { stream.ReadToEnd(100, Clock::now() + 10ms); }));
    EXPECT_TRUE(test::ComErrorOf([&] { stream.Finish(); }));
}

}  // namespace
}  // namespace parlon
