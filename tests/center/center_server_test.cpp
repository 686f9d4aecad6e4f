// The registry and change limit with chosen times; parlon-center on loopback: lists, refuses,
// stops.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "center/center_registry.h"
#include "center/change_rate_limit.h"
#include "listed_text.h"
#include "net/asio_endpoint.h"
#include "net/packet.h"
#include "net/socket_stream.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/test_support.h"

namespace parlon {
namespace {

using namespace std::chrono_literals;
using Clock = SocketStream::Clock;
using Strings = std::vector<std::string>;

// NextExpiry, which arms the center's timer, is the earliest due, wherever its entry stands.
TEST(CenterRegistryTest, NextExpiryIsTheEarliestDueWhateverItsPlace) {
    using Millis = CenterRegistry::Millis;
    CenterRegistry registry(Millis(3000), 10);
    const ParlonEntry first = test::MakeEntry(7001, "first", "k1");
    registry.Register(first, Millis(0));
    registry.Register(test::MakeEntry(7002, "second", "k2"), Millis(1000));
    EXPECT_EQ(registry.NextExpiry(), Millis(3000));
    registry.Register(first, Millis(2000));
    EXPECT_EQ(registry.NextExpiry(), Millis(4000));
    EXPECT_EQ(registry.DropExpired(Millis(4000)).size(), 1u);
    EXPECT_EQ(registry.NextExpiry(), Millis(5000));
}

TEST(ChangeRateLimitTest, ABurstThenTheRateForEachSourceOnItsOwn) {
    using Millis = ChangeRateLimit::Millis;
    ChangeRateLimit limit(3, 60);  // three at once, then one a second
    int taken = 0;
    for (const int64_t at : {0, 0, 0, 0, 999, 1000, 1000, 100000, 100000, 100000, 100000}) {
        taken += limit.TryTake(1, Millis(at)) ? 1 : 0;
    }
    EXPECT_EQ(taken, 3 + 1 + 3) << "a pause refills the burst, not beyond";
    EXPECT_TRUE(limit.TryTake(2, Millis(100000))) << "another source has a burst of its own";
    // Sources whose buckets are full again are forgotten once many are tracked.
    for (uint32_t source = 10; source < 1032; ++source) {
        EXPECT_TRUE(limit.TryTake(source, Millis(200000)));
    }
    EXPECT_EQ(limit.TrackedSources(), 1024u);
    EXPECT_TRUE(limit.TryTake(1, Millis(400000)));
    EXPECT_EQ(limit.TrackedSources(), 1u);
}

// An entry at `ip` (dotted) with its own port, nickname and key text.
ParlonEntry EntryAt(const char* ip, uint16_t port, std::string_view nickname,
                    std::string_view key = test::KeyText(0)) {
    ParlonEntry entry = test::MakeEntry(port, nickname, key);
    entry.ip = ParseIpv4(ip);
    return entry;
}

class CenterServerTest : public ::testing::Test {
  protected:
    // Starts the center with `options`, its errors logged to a file; learns its port from them.
    void Start(std::vector<std::string> options) {
        options.insert(options.begin(), {PARLON_CENTER_PATH, "--listen", "127.0.0.1:0"});
        const int errors =
            ::open(m_logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(errors, 0);
        m_pid = test::StartChildProcess(options, m_dir.Path(), {.error = errors});
        ::close(errors);
        ASSERT_TRUE(Logs("listening on 127.0.0.1:")) << Log();
        const std::string log = Log();
        m_address = {kLoopback, static_cast<uint16_t>(std::stoi(log.substr(log.rfind(':') + 1)))};
    }
    void TearDown() override {
        if (m_pid > 0) {  // not reaped yet
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

    std::string Log() const {
        std::ifstream in(m_logFile);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // Whether the log shows `text` within five seconds.
    bool Logs(const std::string& text) const {
        return test::Eventually([&] { return Log().find(text) != std::string::npos; });
    }
    // How many times the log holds `text`.
    size_t LogCount(const std::string& text) const {
        const std::string log = Log();
        size_t count = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
            ++count;
        }
        return count;
    }

    // The center's exit code if it exits `within`.
    std::optional<int> ExitCodeWithin(std::chrono::milliseconds within) {
        int status = 0;
        if (!test::Eventually([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; },
                              within)) {
            return std::nullopt;
        }
        m_pid = -1;
        return WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt;
    }

    // Registers `entry` from `source`: the list as ListedText shows it, or {"refused"}.
    Strings RegisterFrom(const char* source, const ParlonEntry& entry) {
        const auto list = test::RegisterFrom(ParseIpv4(source), m_address, entry);
        return list ? ListedText(*list) : Strings{"refused"};
    }
    static inline const uint32_t kLoopback = ParseIpv4("127.0.0.1");

    test::TempDir m_dir;
    const std::string m_logFile = (m_dir.Path() / "center.log").string();
    pid_t m_pid = -1;
    PeerAddress m_address;
};

TEST_F(CenterServerTest, ListsInOrderWithKeysExpiresRefusesCrowdsAndStopsOnSigint) {
    // No --expire: entries expire after three register periods, 1500 ms.
    Start({"--register-period", "500", "--request-deadline", "3000", "--first-byte-deadline", "300",
           "--max-connections-per-source", "5"});
    // Two bytes of a header, then nothing: served until the request deadline, others meanwhile.
    SocketStream silent(m_address, Clock::now() + 2s);
    silent.WriteAll(std::vector<uint8_t>{0xAA, 0x01}, Clock::now() + 2s);
    // Mute connections from another host: one beyond its bound is refused at once, the others
    // closed at the first-byte deadline.
    test::Crowd mute(ParseIpv4("127.0.0.2"), m_address, 6, 0);
    EXPECT_EQ(RegisterFrom("127.0.0.1", EntryAt("127.0.0.1", 7001, "alice")),
              (Strings{"alice:7001/k0"}));
    EXPECT_EQ(RegisterFrom("127.0.0.1", EntryAt("127.0.0.1", 7002, "bob", test::KeyText(1))),
              (Strings{"alice:7001/k0", "bob:7002/k1"}));
    EXPECT_TRUE(test::Eventually([&] {
        return LogCount("refused connection from 127.0.0.2:") == 6;
    })) << Log();
    EXPECT_TRUE(Logs("too many connections from its address (5 open)")) << Log();
    EXPECT_TRUE(Logs("no first byte within 300 ms")) << Log();
    // Bob falls silent and the center drops him by itself; alice, renewing meanwhile, stays.
    EXPECT_TRUE(test::Eventually([&] {
        RegisterFrom("127.0.0.1", EntryAt("127.0.0.1", 7001, "alice"));
        return LogCount("expired 127.0.0.1:7002") == 1;
    }));
    EXPECT_EQ(RegisterFrom("127.0.0.1", EntryAt("127.0.0.1", 7003, "carol")),
              (Strings{"alice:7001/k0", "carol:7003/k0"}));
    EXPECT_EQ(LogCount("expired 127.0.0.1:7001"), 0u);
    EXPECT_EQ(silent.ReadToEnd(1 << 20, Clock::now() + 5s).Length(), 0u);  // not a word
    EXPECT_TRUE(Logs("no whole frame within 3000 ms (2 bytes)"));

    // The signal must not wait for a client that began a request and fell silent.
    SocketStream lateSilent(m_address, Clock::now() + 2s);
    lateSilent.WriteAll(std::vector<uint8_t>{0xAA}, Clock::now() + 2s);
    ASSERT_EQ(::kill(m_pid, SIGINT), 0);
    EXPECT_EQ(ExitCodeWithin(1500ms), 0);
    EXPECT_TRUE(Logs("parlon-center: stopping on signal 2"));
}

TEST_F(CenterServerTest, RefusesUnusableAndForeignEntriesAndSignOffsAndEndsOnAnAcceptError) {
    Start({"--max-per-address", "2"});
    const Strings alice = {"alice:7001/k0"};
    EXPECT_EQ(RegisterFrom("127.0.0.1", EntryAt("127.0.0.1", 7001, "alice")), alice);
    const std::string noKey = "its key text is not a 2048-bit RSA public key";
    const struct {
        const char* source;
        ParlonEntry entry;
        std::string reason;
    } refusals[] = {
        {"127.0.0.1", EntryAt("127.0.0.1", 7002, "nokey", "no key at all"), noKey},
        {"127.0.0.1", EntryAt("127.0.0.1", 7002, "short", test::KeyText(0, 1024)), noKey},
        {"127.0.0.1", EntryAt("127.0.0.1", 0, "port0"), "port 0 reaches nobody"},
        {"127.0.0.1", EntryAt("0.0.0.0", 7002, "nowhere"), "address 0.0.0.0 reaches nobody"},
        {"127.0.0.2", EntryAt("127.0.0.1", 7001, "hijack", test::KeyText(1)),
         "it names 127.0.0.1 but comes from 127.0.0.2"},
    };
    for (const auto& refused : refusals) {
        const std::string nickname(refused.entry.NicknameText());
        EXPECT_EQ(RegisterFrom(refused.source, refused.entry), Strings{"refused"}) << nickname;
        EXPECT_TRUE(
            Logs("\"" + nickname + "\" from " + refused.source + " refused: " + refused.reason))
            << Log();
    }
    EXPECT_EQ(RegisterFrom("127.0.0.1", EntryAt("127.0.0.1", 7001, "alice")), alice);

    // A sign-off counts only from the address it names.
    test::SignOffFrom(ParseIpv4("127.0.0.2"), m_address, {kLoopback, 7001});
    EXPECT_TRUE(
        Logs("sign-off of 127.0.0.1:7001 refused: it names 127.0.0.1 but comes from 127.0.0.2"));

    // Two entries on one address; a third is refused, the two renew (a new key too).
    EXPECT_EQ(RegisterFrom("127.0.0.2", EntryAt("127.0.0.2", 1, "b1")),
              (Strings{"alice:7001/k0", "b1:1@127.0.0.2/k0"}));
    EXPECT_EQ(RegisterFrom("127.0.0.2", EntryAt("127.0.0.2", 2, "b2")),
              (Strings{"alice:7001/k0", "b1:1@127.0.0.2/k0", "b2:2@127.0.0.2/k0"}));
    EXPECT_EQ(RegisterFrom("127.0.0.2", EntryAt("127.0.0.2", 3, "b3")), Strings{"refused"});
    EXPECT_TRUE(Logs("\"b3\" from 127.0.0.2 refused: its address already holds 2 entries"));
    // A renewal with a new key is a change: the two new entries took the burst of changes of that
    // source (as many as its entries), the next one comes with the rate (one a second).
    const ParlonEntry b1new = EntryAt("127.0.0.2", 1, "b1new", test::KeyText(1));
    const Strings withB1new{"alice:7001/k0", "b1new:1@127.0.0.2/k1", "b2:2@127.0.0.2/k0"};
    EXPECT_EQ(RegisterFrom("127.0.0.2", b1new), Strings{"refused"});
    EXPECT_TRUE(
        Logs("\"b1new\" from 127.0.0.2 refused: list changes from its source come faster than 60 a "
             "minute"));
    EXPECT_TRUE(test::Eventually([&] { return RegisterFrom("127.0.0.2", b1new) == withB1new; }));
    // Renewals that change nothing are not limited.
    EXPECT_EQ(RegisterFrom("127.0.0.2", b1new), withB1new);
    EXPECT_TRUE(Logs("registered 127.0.0.2:1 \"b1new\" (renewed; 3 registered)")) << Log();
    // Its own sign-off counts and makes room.
    test::SignOffFrom(ParseIpv4("127.0.0.2"), m_address, {ParseIpv4("127.0.0.2"), 2});
    EXPECT_TRUE(test::Eventually([&] {
        return RegisterFrom("127.0.0.2", EntryAt("127.0.0.2", 3, "b3")) ==
               Strings{"alice:7001/k0", "b1new:1@127.0.0.2/k1", "b3:3@127.0.0.2/k0"};
    }));

    // A center that can no longer accept says so and exits instead of retrying.
    ASSERT_TRUE(test::BreakListeningSocket(m_pid, m_address.port));
    EXPECT_EQ(ExitCodeWithin(5s), 1);
    EXPECT_TRUE(
        Logs("] accepting failed: Invalid argument\n"
             "parlon-center: stopping: connections can no longer be accepted\n"))
        << Log();
}

// Told to trust the announced address, the center takes an entry from any source; slow readers
// of a large list hold no more than the bound.
TEST_F(CenterServerTest, TrustsTheAnnouncedAddressWhenToldToAndSlowReadersHoldAtMostTheBound) {
    constexpr size_t kListed = 2000, kSlow = 60, kBound = 4'000'000;
    const std::string bound = std::to_string(kBound);
    Start({"--trust-announced-address", "--max-per-address", "100000", "--changes-per-minute",
           "1000000", "--max-entries", "3000", "--max-held-reply-bytes", bound.c_str()});
    EXPECT_EQ(RegisterFrom("127.0.0.2", EntryAt("127.0.0.3", 7002, "proxied")),
              (Strings{"proxied:7002@127.0.0.3/k0"}));
    test::SignOffFrom(ParseIpv4("127.0.0.2"), m_address, {ParseIpv4("127.0.0.3"), 7002});
    EXPECT_TRUE(Logs("signed off 127.0.0.3:7002 (0 registered)"));
    EXPECT_EQ(RegisterFrom("127.0.0.2", EntryAt("127.0.0.3", 7002, "nokey", "k")),
              Strings{"refused"});  // its key must still be usable

    for (uint16_t port = 1; port <= kListed; ++port) {
        ASSERT_TRUE(test::RegisterFrom(kLoopback, m_address, EntryAt("127.0.0.1", port, "p")));
    }
    // Each adds an entry, so each reply would be a list of its own (834 kB) that nobody reads.
    test::Crowd slow(
        ParseIpv4("127.0.0.2"), m_address, kSlow, kRegistrationFrameSize, [](size_t i) {
            const ParlonEntry entry = EntryAt("127.0.0.2", static_cast<uint16_t>(i + 1), "slow");
            return test::BytesOf(Packet(Registration, RegistrationRecord{entry, {}}).Encode());
        });
    ASSERT_TRUE(test::Eventually([&] {
        return LogCount("(new; ") + LogCount("replies not yet taken hold") == kListed + kSlow + 1;
    }));
    EXPECT_GT(LogCount("replies not yet taken hold"), kSlow / 2) << Log();
    slow.sockets.clear();
    EXPECT_TRUE(test::Eventually([&] {
        return test::RegisterFrom(kLoopback, m_address, EntryAt("127.0.0.1", 9999, "late"))
            .has_value();
    }));
}

}  // namespace
}  // namespace parlon
