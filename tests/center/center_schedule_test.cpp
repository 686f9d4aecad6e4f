// ScheduleAt: the announced words, the center's clock and the common switch moments.
#include "center/center_schedule.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace parlon {
namespace {

using std::chrono::milliseconds;

class CenterScheduleTest : public ::testing::Test {
  protected:
    CenterScheduleTest() {
        m_settings.hopCount = 4;
        m_settings.pollPeriod = 250;
        m_settings.replyTime = 20000;
        m_settings.registerPeriod = 7000;
        m_settings.switchPeriod = 10000;
    }

    // How long after the reply its list takes effect, as a parlon computes it.
    static uint32_t UntilSwitch(const CenterSchedule& schedule) {
        return schedule.switchTime - schedule.centerTime;
    }

    CenterSettings m_settings;
};

TEST_F(CenterScheduleTest, AnnouncesTheSettingsAndTheClock) {
    const CenterSchedule schedule = ScheduleAt(m_settings, milliseconds(12345));
    EXPECT_EQ(schedule.hopCount, 4u);
    EXPECT_EQ(schedule.pollPeriod, 250u);
    EXPECT_EQ(schedule.replyTime, 20000u);
    EXPECT_EQ(schedule.registerPeriod, 7000u);
    EXPECT_EQ(schedule.centerTime, 12345u);
    EXPECT_EQ(schedule.switchTime, 20000u);
}

TEST_F(CenterScheduleTest, EveryReplyWithinOnePeriodNamesTheSameSwitch) {
    EXPECT_EQ(ScheduleAt(m_settings, milliseconds(0)).switchTime, 10000u);
    EXPECT_EQ(ScheduleAt(m_settings, milliseconds(9999)).switchTime, 10000u);
    // At a switch moment the next one is announced, a whole period ahead.
    EXPECT_EQ(ScheduleAt(m_settings, milliseconds(10000)).switchTime, 20000u);
    EXPECT_EQ(UntilSwitch(ScheduleAt(m_settings, milliseconds(10000))), 10000u);
}

TEST_F(CenterScheduleTest, TheClockWrapsAt32BitsAndTheDistanceToTheSwitchSurvives) {
    constexpr int64_t kWrap = int64_t{1} << 32;
    m_settings.switchPeriod = 7;  // does not divide 2^32, so multiples straddle the wrap
    for (const int64_t now : {kWrap - 3, kWrap - 1, kWrap, kWrap + 5, 3 * kWrap + 11}) {
        const CenterSchedule schedule = ScheduleAt(m_settings, milliseconds(now));
        EXPECT_EQ(schedule.centerTime, static_cast<uint32_t>(now % kWrap)) << now;
        EXPECT_EQ(UntilSwitch(schedule), 7 - now % 7) << now;
    }
}

}  // namespace
}  // namespace parlon
