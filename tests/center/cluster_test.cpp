// Centers that share one Redis store (a redis-server of the test's own) answer as one center:
// changes shown across them in time, renewals from a copy, the store gone and back.
#include <gtest/gtest.h>

#include "center/center_thread.h"
#include "center/redis_connection.h"
#include "center/redis_registry_store.h"
#include "listed_text.h"
#include "net/center_connection.h"
#include "support/log_lines.h"
#include "support/redis_server.h"
#include "support/test_support.h"

namespace parlon {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

int64_t UtcMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class ClusterTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(m_redis.Running()) << m_redis.Error(); }

    // Starts both centers over the test's store.
    void StartCenters(const CenterSettings& settings) {
        RedisRegistryStore::Options options{*ParseStoreAddress(m_redis.Address()), settings};
        options.retryAfter = 50ms;  // a quick recovery keeps the test short
        for (const size_t index : {size_t{0}, size_t{1}}) {
            std::string error;
            m_centers[index] = CenterThread::Start(
                settings, error, m_logs[index].Sink(), CenterThread::LoopbackAnyPort(),
                std::make_unique<RedisRegistryStore>(options, m_logs[index].Sink()));
            ASSERT_NE(m_centers[index], nullptr) << error;
        }
    }

    // A link to `center` with key test::KeyText(key); it signs off when destroyed.
    std::unique_ptr<CenterConnection> Link(size_t center, uint16_t port, std::string_view nickname,
                                           size_t key = 0) {
        return std::make_unique<CenterConnection>(
            test::MakeEntry(port, nickname, test::KeyText(key)), m_centers[center]->Address(),
            TransportDeadlines{1s, 1s, 2s});
    }
    void SignOff(size_t center, uint16_t port) { Link(center, port, "").reset(); }
    // Registers at `center` on a link kept to the end: the list as ListedText shows it, or failed.
    Strings Register(size_t center, uint16_t port, std::string_view nickname, size_t key = 0) {
        std::vector<ParlonEntry> list;
        return m_links.emplace_back(Link(center, port, nickname, key))->Register(list, m_schedule)
                   ? ListedText(list)
                   : Strings{"failed"};
    }
    // Registers at `center` until it lists `expected`, just changed at the other: stale past the
    // batch interval is a fault.
    void ExpectListedWithinBound(size_t center, uint16_t port, std::string_view nickname,
                                 size_t key, const Strings& expected) {
        const auto changedAt = Clock::now();
        Strings listed;
        EXPECT_TRUE(test::Eventually([&] {
            const auto asked = Clock::now();
            listed = Register(center, port, nickname, key);
            EXPECT_TRUE(listed == expected ||
                        asked - changedAt <= RedisRegistryStore::Options{}.batchInterval)
                << "still stale " << (asked - changedAt) / 1ms << " ms after the change";
            return listed == expected;
        })) << testing::PrintToString(listed);
    }
    // Whether both centers together logged a line with `text` once.
    bool LoggedEventually(const std::string& text) {
        return test::Eventually([&] { return m_logs[0].Count(text) + m_logs[1].Count(text) == 1; });
    }

    // How often the store has run a script (every write a center made).
    size_t ScriptRuns() {
        std::string error;
        const auto redis = RedisConnection::Open("127.0.0.1", m_redis.Port(), 1s, error);
        const RedisReply info = redis ? redis->Command({"INFO", "commandstats"}) : nullptr;
        const std::string text(info && info->type == REDIS_REPLY_STRING ? ReplyText(*info) : "");
        constexpr std::string_view kCalls = "cmdstat_evalsha:calls=";
        const size_t at = text.find(kCalls);
        EXPECT_NE(at, std::string::npos) << "no script calls in the store's statistics";
        return at == std::string::npos ? 0 : std::stoul(text.substr(at + kCalls.size()));
    }

    test::RedisServer m_redis;
    test::LogLines m_logs[2];  // outlive the centers, which write to them
    std::unique_ptr<CenterThread> m_centers[2];
    std::vector<std::unique_ptr<CenterConnection>> m_links;  // sign off before the centers stop
    CenterSchedule m_schedule;
};

TEST_F(ClusterTest, ListsInOneOrderRenewsInPlaceSignsOffAtEitherAndAnnouncesOneSwitch) {
    StartCenters({.switchPeriod = 60000});
    EXPECT_EQ(Register(0, 7001, "alice", 0), (Strings{"alice:7001/k0"}));
    EXPECT_EQ(Register(1, 7002, "bob", 1), (Strings{"alice:7001/k0", "bob:7002/k1"}));
    EXPECT_EQ(Register(0, 7003, "carol", 2),
              (Strings{"alice:7001/k0", "bob:7002/k1", "carol:7003/k2"}));
    // Alice again, at the other center, with a new key: in her place.
    const Strings renamed = {"alice2:7001/k3", "bob:7002/k1", "carol:7003/k2"};
    EXPECT_EQ(Register(1, 7001, "alice2", 3), renamed);
    const CenterSchedule atSecond = m_schedule;
    // A renewal at the first center, which last saw the older list, may answer from its copy
    // only within the bound.
    ExpectListedWithinBound(0, 7003, "carol", 2, renamed);
    // One clock for the cluster: the same switch moment from both, on the UTC clock.
    EXPECT_EQ(m_schedule.switchTime, atSecond.switchTime);
    EXPECT_LT(static_cast<uint32_t>(UtcMillis()) - m_schedule.centerTime, 5000u);

    // Alice renews at the first center (from its copy, in a batch), then signs off at the second
    // in a later millisecond (the store orders writes by them): the first lists her no more.
    const size_t runsBefore = ScriptRuns();
    EXPECT_EQ(Register(0, 7001, "alice2", 3), renamed);
    const int64_t renewed = UtcMillis();
    ASSERT_TRUE(test::Eventually([&] { return UtcMillis() > renewed; }));
    SignOff(1, 7001);
    EXPECT_TRUE(LoggedEventually("signed off 127.0.0.1:7001 (2 registered)")) << m_logs[1].All();
    EXPECT_TRUE(test::Eventually([&] { return ScriptRuns() >= runsBefore + 2; }));
    ExpectListedWithinBound(0, 7002, "bob", 1, {"bob:7002/k1", "carol:7003/k2"});
    EXPECT_EQ(Register(1, 7001, "alice", 0),
              (Strings{"bob:7002/k1", "carol:7003/k2", "alice:7001/k0"}));
}

// One store renews from its copy every 400 ms, each batch written 5 ms before the other sweeps.
TEST_F(ClusterTest, RenewalsAnsweredFromTheCopyKeepTheEntryAtTheOtherStore) {
    using Millis = RegistryStore::Millis;
    using Outcome = RegistryStore::Outcome;
    constexpr uint32_t kExpireMs = 3000;
    const RedisRegistryStore::Options options{*ParseStoreAddress(m_redis.Address()),
                                              {.expire = kExpireMs}};
    RedisRegistryStore first(options, m_logs[0].Sink());
    RedisRegistryStore second(options, m_logs[1].Sink());
    const ParlonEntry alice = test::MakeEntry(7001, "alice", "k");
    const Millis start = first.Now();
    ASSERT_EQ(first.Register(alice, start).outcome, Outcome::Added);
    Millis last = start;
    for (Millis at = start + 400ms; at < start + 3 * Millis(kExpireMs); at += 400ms) {
        ASSERT_EQ(first.DropExpired(at - 5ms).outcome, Outcome::Swept);
        ASSERT_EQ(first.Register(alice, at).outcome, Outcome::Renewed);
        const RegistryStore::Change swept = second.DropExpired(at);
        ASSERT_TRUE(swept.expired.empty()) << (at - start) / 1ms << " ms on";
        EXPECT_EQ(swept.listed, 1u);
        last = at;
    }
    // Once the renewals stop and the last is written, the entry expires, at one store only.
    ASSERT_EQ(first.DropExpired(last).outcome, Outcome::Swept);
    const Millis expired = last + Millis(kExpireMs);
    EXPECT_EQ(second.DropExpired(expired).expired.size(), 1u);
    EXPECT_TRUE(first.DropExpired(expired).expired.empty());
}

TEST_F(ClusterTest, RefusesWhileTheStoreIsGoneAndRecoversByItself) {
    StartCenters({});
    EXPECT_EQ(Register(0, 7001, "alice"), (Strings{"alice:7001/k0"}));
    m_redis.Stop();
    // Refused at both, as often as asked; one line says so.
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(Register(0, 7001, "alice"), (Strings{"failed"}));
        EXPECT_EQ(Register(1, 7002, "bob"), (Strings{"failed"}));
    }
    SignOff(1, 7001);
    EXPECT_TRUE(LoggedEventually("sign-off of 127.0.0.1:7001 lost"));
    for (const test::LogLines& log : m_logs) {
        EXPECT_EQ(log.Count("registrations are refused until it is back"), 1u) << log.All();
    }
    ASSERT_TRUE(m_redis.Start()) << m_redis.Error();
    // The restarted store is empty: the parlons come back as they register again.
    EXPECT_TRUE(
        test::Eventually([&] { return Register(1, 7002, "bob") == Strings{"bob:7002/k0"}; }));
    EXPECT_EQ(Register(0, 7001, "alice"), (Strings{"bob:7002/k0", "alice:7001/k0"}));
    for (const test::LogLines& log : m_logs) {
        EXPECT_EQ(log.Count("reachable again"), 1u) << log.All();
    }
}

}  // namespace
}  // namespace parlon
