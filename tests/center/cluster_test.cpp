// Centers that share one Redis store answer as one center: two in-process centers over a
// redis-server of the test's own, what each lists, in which order, what a sign-off and an
// expiry do at the other, the switch moments they announce; then the store killed and started
// again under them.
#include <gtest/gtest.h>

#include "center/center_thread.h"
#include "center/redis_registry_store.h"
#include "net/center_connection.h"
#include "support/test_support.h"
#include "support/log_lines.h"
#include "support/redis_server.h"

namespace parlon {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

class ClusterTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(m_redis.Running()) << m_redis.Error(); }

    // Starts center `index` (0 or 1) over the test's store.
    void StartCenter(size_t index, const CenterSettings& settings) {
        RedisRegistryStore::Options options{*ParseStoreAddress(m_redis.Address()), settings};
        options.retryAfter = 50ms;  // a quick recovery keeps the test short
        std::string error;
        m_centers[index] = CenterThread::Start(
            settings, error, m_logs[index].Sink(), CenterThread::LoopbackAnyPort(),
            std::make_unique<RedisRegistryStore>(options, m_logs[index].Sink()));
        ASSERT_NE(m_centers[index], nullptr) << error;
    }
    void StartCenters(const CenterSettings& settings) {
        StartCenter(0, settings);
        StartCenter(1, settings);
    }

    // A parlon's link to center `center`; it signs off when it is destroyed.
    std::unique_ptr<CenterConnection> Link(size_t center, uint16_t port, std::string_view nickname,
                                           std::string_view key = "k") {
        return std::make_unique<CenterConnection>(test::MakeEntry(port, nickname, key),
                                                  m_centers[center]->Address(),
                                                  TransportDeadlines{1s, 1s, 2s});
    }
    // Signs the parlon on `port` off at `center`.
    void SignOff(size_t center, uint16_t port) { Link(center, port, "").reset(); }
    // Registers at `center` through a link kept to the end of the test: "nickname:port/key"
    // of each listed entry, or {"failed"}.
    Strings Register(size_t center, uint16_t port, std::string_view nickname,
                     std::string_view key = "k") {
        m_links.push_back(Link(center, port, nickname, key));
        std::vector<ParlonEntry> list;
        if (!m_links.back()->Register(list, m_schedule)) {
            return {"failed"};
        }
        Strings listed;
        for (const ParlonEntry& entry : list) {
            listed.push_back(std::string(entry.NicknameText()) + ":" + std::to_string(entry.port) +
                             "/" + std::string(entry.PublicKeyText()));
        }
        return listed;
    }

    test::RedisServer m_redis;
    test::LogLines m_logs[2];  // outlive the centers, which write to them
    std::unique_ptr<CenterThread> m_centers[2];
    std::vector<std::unique_ptr<CenterConnection>> m_links;  // sign off before the centers stop
    CenterSchedule m_schedule;
};

TEST_F(ClusterTest, ListsInOneOrderRenewsInPlaceSignsOffAtEitherAndAnnouncesOneSwitch) {
    StartCenters({.switchPeriod = 60000});
    EXPECT_EQ(Register(0, 7001, "alice", "a"), (Strings{"alice:7001/a"}));
    EXPECT_EQ(Register(1, 7002, "bob", "b"), (Strings{"alice:7001/a", "bob:7002/b"}));
    EXPECT_EQ(Register(0, 7003, "carol", "c"),
              (Strings{"alice:7001/a", "bob:7002/b", "carol:7003/c"}));
    // Alice again, at the other center, with a new key: in her place.
    EXPECT_EQ(Register(1, 7001, "alice2", "a2"),
              (Strings{"alice2:7001/a2", "bob:7002/b", "carol:7003/c"}));
    const CenterSchedule atB = m_schedule;
    // A renewal with the same entry at the first center, which last saw the older list.
    EXPECT_EQ(Register(0, 7003, "carol", "c"),
              (Strings{"alice2:7001/a2", "bob:7002/b", "carol:7003/c"}));
    const CenterSchedule atA = m_schedule;

    // One clock for the cluster: the same switch moment from both, on the UTC clock (centers
    // on clocks of their own would count from their starts).
    const auto utcNow =
        static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count());
    EXPECT_EQ(atA.switchTime, atB.switchTime);
    EXPECT_LT(utcNow - atA.centerTime, 5000u);

    SignOff(1, 7001);  // at the second center; the first lists her no more
    EXPECT_TRUE(test::Eventually([&] {
        return m_logs[1].Count("signed off 127.0.0.1:7001 (2 registered)") == 1;
    })) << m_logs[1].All();
    EXPECT_EQ(Register(0, 7002, "bob", "b"), (Strings{"bob:7002/b", "carol:7003/c"}));
    EXPECT_EQ(Register(1, 7001, "alice", "a"),
              (Strings{"bob:7002/b", "carol:7003/c", "alice:7001/a"}));
}

TEST_F(ClusterTest, AnEntryExpiresOnceWithTwoCentersRunning) {
    StartCenters({.registerPeriod = 100, .expire = 300});
    EXPECT_EQ(Register(0, 7001, "alice"), (Strings{"alice:7001/k"}));
    // Both centers know of alice, so both arm their expiry timers for her.
    EXPECT_EQ(Register(1, 7002, "bob"), (Strings{"alice:7001/k", "bob:7002/k"}));
    const auto expired = [&](const std::string& who) {
        return m_logs[0].Count("expired " + who) + m_logs[1].Count("expired " + who);
    };
    EXPECT_TRUE(test::Eventually([&] { return expired("127.0.0.1:7002") > 0; }))
        << m_logs[0].All() << m_logs[1].All();
    // Gone at both; a registration at either finds only itself, and each expiry was reported
    // by one center only.
    EXPECT_EQ(Register(0, 7003, "carol"), (Strings{"carol:7003/k"}));
    EXPECT_EQ(Register(1, 7003, "carol"), (Strings{"carol:7003/k"}));
    EXPECT_EQ(expired("127.0.0.1:7001"), 1u) << m_logs[0].All() << m_logs[1].All();
    EXPECT_EQ(expired("127.0.0.1:7002"), 1u) << m_logs[0].All() << m_logs[1].All();
}

TEST_F(ClusterTest, RefusesWhileTheStoreIsGoneAndRecoversByItself) {
    StartCenters({});
    EXPECT_EQ(Register(0, 7001, "alice"), (Strings{"alice:7001/k"}));
    m_redis.Stop();
    // Refused at both, as often as asked, and nothing written; one line says so.
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_EQ(Register(0, 7001, "alice"), (Strings{"failed"}));
        EXPECT_EQ(Register(1, 7002, "bob"), (Strings{"failed"}));
    }
    SignOff(1, 7001);
    EXPECT_TRUE(
        test::Eventually([&] { return m_logs[1].Count("sign-off of 127.0.0.1:7001 lost") == 1; }));
    for (const test::LogLines& log : m_logs) {
        EXPECT_EQ(log.Count("registrations are refused until it is back"), 1u) << log.All();
    }

    ASSERT_TRUE(m_redis.Start()) << m_redis.Error();
    // The restarted store is empty: the parlons come back as they register again.
    EXPECT_TRUE(
        test::Eventually([&] { return Register(1, 7002, "bob") == Strings{"bob:7002/k"}; }));
    EXPECT_EQ(Register(0, 7001, "alice"), (Strings{"bob:7002/k", "alice:7001/k"}));
    for (const test::LogLines& log : m_logs) {
        EXPECT_EQ(log.Count("reachable again"), 1u) << log.All();
    }
}

}  // namespace
}  // namespace parlon
