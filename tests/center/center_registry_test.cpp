// The center's registry driven with its own clock: entries renewed at different times expire
// one by one, each `expire` after its own last renewal, and NextExpiry names the earliest,
// whichever place in the list that entry holds (the center arms its timer with it).
#include "center/center_registry.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace parlon {
namespace {

using Millis = CenterRegistry::Millis;
using Ports = std::vector<uint16_t>;

Ports PortsOf(const std::vector<ParlonEntry>& entries) {
    Ports ports;
    for (const ParlonEntry& entry : entries) {
        ports.push_back(entry.port);
    }
    return ports;
}

TEST(CenterRegistryTest, EntriesExpireOneByOneAndNextExpiryIsTheEarliestDue) {
    CenterRegistry registry(Millis(3000), 10);
    EXPECT_EQ(registry.NextExpiry(), std::nullopt);
    const ParlonEntry first = test::MakeEntry(7001, "first", "k1");
    const ParlonEntry second = test::MakeEntry(7002, "second", "k2");

    EXPECT_EQ(registry.Register(first, Millis(0)), CenterRegistry::Outcome::Added);
    EXPECT_EQ(registry.Register(second, Millis(1000)), CenterRegistry::Outcome::Added);
    EXPECT_EQ(registry.NextExpiry(), Millis(3000));  // the first place is due first
    EXPECT_EQ(registry.Register(second, Millis(1500)), CenterRegistry::Outcome::Renewed);
    EXPECT_EQ(registry.NextExpiry(), Millis(3000));
    EXPECT_EQ(registry.Register(first, Millis(2000)), CenterRegistry::Outcome::Renewed);
    EXPECT_EQ(registry.NextExpiry(), Millis(4500));  // now the second place is due first

    EXPECT_TRUE(registry.DropExpired(Millis(4499)).empty());
    EXPECT_EQ(PortsOf(registry.DropExpired(Millis(4500))), Ports{7002});
    EXPECT_EQ(PortsOf(registry.Entries()), Ports{7001});
    EXPECT_EQ(registry.NextExpiry(), Millis(5000));
    EXPECT_EQ(PortsOf(registry.DropExpired(Millis(5000))), Ports{7001});
    EXPECT_EQ(registry.NextExpiry(), std::nullopt);
}

}  // namespace
}  // namespace parlon
