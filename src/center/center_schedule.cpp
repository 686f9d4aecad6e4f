#include "center/center_schedule.h"

#include <cassert>
#include <cstdint>

namespace parlon {

CenterSchedule ScheduleAt(const CenterSettings& settings, std::chrono::milliseconds sinceStart) {
    assert(settings.switchPeriod > 0);
    assert(sinceStart.count() >= 0);
    const auto now = static_cast<uint64_t>(sinceStart.count());
    const uint64_t nextSwitch = (now / settings.switchPeriod + 1) * settings.switchPeriod;
    CenterSchedule schedule;
    schedule.hopCount = settings.hopCount;
    schedule.centerTime = static_cast<uint32_t>(now);
    schedule.pollPeriod = settings.pollPeriod;
    schedule.replyTime = settings.replyTime;
    schedule.registerPeriod = settings.registerPeriod;
    schedule.switchTime = static_cast<uint32_t>(nextSwitch);
    return schedule;
}

}  // namespace parlon
