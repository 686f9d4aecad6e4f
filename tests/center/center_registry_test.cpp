// CenterRegistry: order of first registration, replacement, sign-off, capacity and expiry,
// driven by explicit times.
#include "center/center_registry.h"

#include <gtest/gtest.h>

#include <string>

#include "net_test_support.h"

namespace parlon {
namespace {

using namespace std::chrono_literals;
using Outcome = CenterRegistry::Outcome;

class CenterRegistryTest : public ::testing::Test {
  protected:
    static constexpr CenterRegistry::Millis kExpire{1000};

    // "nickname:port" of each entry in list order, with the key text when asked.
    std::vector<std::string> Listed(bool withKeys = false) const {
        std::vector<std::string> listed;
        for (const ParlonEntry& entry : m_registry.Entries()) {
            std::string text = std::string(entry.NicknameText()) + ":" + std::to_string(entry.port);
            if (withKeys) {
                text += "/" + std::string(entry.PublicKeyText());
            }
            listed.push_back(text);
        }
        return listed;
    }

    Outcome Register(uint16_t port, std::string_view nickname, CenterRegistry::Millis at = 0ms,
                     std::string_view key = "key") {
        return m_registry.Register(test::MakeEntry(port, nickname, key), at);
    }

    CenterRegistry m_registry{kExpire, 3};
};

TEST_F(CenterRegistryTest, EntriesAreListedInTheOrderOfFirstRegistration) {
    EXPECT_TRUE(m_registry.Entries().empty());
    EXPECT_EQ(Register(7002, "b"), Outcome::Added);
    EXPECT_EQ(Register(7001, "a"), Outcome::Added);
    EXPECT_EQ(Register(7003, "c"), Outcome::Added);
    EXPECT_EQ(Listed(), (std::vector<std::string>{"b:7002", "a:7001", "c:7003"}));
}

TEST_F(CenterRegistryTest, ReRegistrationReplacesKeyAndNicknameInPlace) {
    Register(7001, "a", 0ms, "old key");
    Register(7002, "b");
    EXPECT_EQ(Register(7001, "renamed", 10ms, "new key"), Outcome::Renewed);
    EXPECT_EQ(Listed(true), (std::vector<std::string>{"renamed:7001/new key", "b:7002/key"}));
}

TEST_F(CenterRegistryTest, AddressAndPortTogetherTellEntriesApart) {
    ParlonEntry otherHost = test::MakeEntry(7001, "other host", "key");
    otherHost.ip = ParseIpv4("127.0.0.2");
    Register(7001, "a");
    EXPECT_EQ(Register(7002, "other port"), Outcome::Added);
    EXPECT_EQ(m_registry.Register(otherHost, 0ms), Outcome::Added);
    EXPECT_EQ(m_registry.Size(), 3u);
}

TEST_F(CenterRegistryTest, AFullListRefusesNewcomersButRenewsMembers) {
    Register(7001, "a");
    Register(7002, "b");
    Register(7003, "c");
    EXPECT_EQ(Register(7004, "d"), Outcome::Full);
    EXPECT_EQ(Register(7002, "b2"), Outcome::Renewed);
    EXPECT_EQ(Listed(), (std::vector<std::string>{"a:7001", "b2:7002", "c:7003"}));
}

TEST_F(CenterRegistryTest, SignOffRemovesOnlyThatEntry) {
    Register(7001, "a");
    Register(7002, "b");
    Register(7003, "c");
    EXPECT_TRUE(m_registry.SignOff({ParseIpv4("127.0.0.1"), 7002}));
    EXPECT_EQ(Listed(), (std::vector<std::string>{"a:7001", "c:7003"}));
    // The remaining entries are still found by their address.
    EXPECT_EQ(Register(7003, "c2"), Outcome::Renewed);
    EXPECT_TRUE(m_registry.SignOff({ParseIpv4("127.0.0.1"), 7001}));
    EXPECT_EQ(Listed(), (std::vector<std::string>{"c2:7003"}));
}

TEST_F(CenterRegistryTest, SignOffOfAnUnknownAddressChangesNothing) {
    Register(7001, "a");
    EXPECT_FALSE(m_registry.SignOff({ParseIpv4("127.0.0.1"), 7002}));
    EXPECT_FALSE(m_registry.SignOff({ParseIpv4("127.0.0.2"), 7001}));
    EXPECT_EQ(Listed(), (std::vector<std::string>{"a:7001"}));
}

TEST_F(CenterRegistryTest, AnEntryBackAfterSigningOffGoesToTheEnd) {
    Register(7001, "a");
    Register(7002, "b");
    m_registry.SignOff({ParseIpv4("127.0.0.1"), 7001});
    EXPECT_EQ(Register(7001, "a"), Outcome::Added);
    EXPECT_EQ(Listed(), (std::vector<std::string>{"b:7002", "a:7001"}));
}

TEST_F(CenterRegistryTest, AnEntryExpiresExactlyWhenNotRenewedForTheExpireTime) {
    Register(7001, "a", 100ms);
    EXPECT_TRUE(m_registry.DropExpired(100ms + kExpire - 1ms).empty());
    const std::vector<ParlonEntry> dropped = m_registry.DropExpired(100ms + kExpire);
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_EQ(dropped[0].NicknameText(), "a");
    EXPECT_TRUE(m_registry.Entries().empty());
}

TEST_F(CenterRegistryTest, RenewalPostponesExpiry) {
    Register(7001, "a", 0ms);
    Register(7001, "a", 900ms);
    EXPECT_TRUE(m_registry.DropExpired(1500ms).empty());
    EXPECT_EQ(m_registry.DropExpired(1900ms).size(), 1u);
}

TEST_F(CenterRegistryTest, ExpiryDropsTheStaleAndKeepsTheOrderOfTheRest) {
    Register(7001, "a", 0ms);
    Register(7002, "b", 500ms);
    Register(7003, "c", 0ms);
    Register(7004, "d", 600ms);  // refused: the list is full
    const std::vector<ParlonEntry> dropped = m_registry.DropExpired(1200ms);
    ASSERT_EQ(dropped.size(), 2u);
    EXPECT_EQ(dropped[0].NicknameText(), "a");
    EXPECT_EQ(dropped[1].NicknameText(), "c");
    EXPECT_EQ(Listed(), (std::vector<std::string>{"b:7002"}));
    EXPECT_EQ(Register(7002, "b2", 1200ms), Outcome::Renewed);
    EXPECT_EQ(Register(7004, "d", 1200ms), Outcome::Added);
}

TEST_F(CenterRegistryTest, NextExpiryIsTheOldestRenewalPlusTheExpireTime) {
    EXPECT_FALSE(m_registry.NextExpiry());
    Register(7001, "a", 300ms);
    Register(7002, "b", 200ms);
    EXPECT_EQ(m_registry.NextExpiry(), 200ms + kExpire);
    Register(7002, "b", 400ms);
    EXPECT_EQ(m_registry.NextExpiry(), 300ms + kExpire);
}

TEST_F(CenterRegistryTest, TheRevisionMovesExactlyWhenTheListedBytesChange) {
    uint64_t seen = m_registry.Revision();
    const auto changed = [&] {
        const bool moved = m_registry.Revision() != seen;
        seen = m_registry.Revision();
        return moved;
    };
    Register(7001, "a");
    EXPECT_TRUE(changed());
    Register(7001, "a", 100ms);
    EXPECT_FALSE(changed()) << "a renewal with the same entry";
    Register(7001, "a", 200ms, "new key");
    EXPECT_TRUE(changed());
    EXPECT_FALSE(m_registry.SignOff({ParseIpv4("127.0.0.1"), 7999}));
    EXPECT_FALSE(changed());
    Register(7002, "b", 200ms);
    Register(7003, "c", 200ms);
    changed();
    EXPECT_EQ(Register(7004, "d", 200ms), Outcome::Full);
    EXPECT_FALSE(changed());
    EXPECT_TRUE(m_registry.DropExpired(100ms).empty());
    EXPECT_FALSE(changed());
    EXPECT_EQ(m_registry.DropExpired(1200ms).size(), 3u);
    EXPECT_TRUE(changed());
    Register(7001, "a", 1200ms);
    changed();
    EXPECT_TRUE(m_registry.SignOff({ParseIpv4("127.0.0.1"), 7001}));
    EXPECT_TRUE(changed());
}

}  // namespace
}  // namespace parlon
