// The schedule a center hands out with every reply, computed from its settings and its clock.
#pragma once

#include <chrono>

#include "center/center_settings.h"
#include "common/wire_records.h"

namespace parlon {

// The schedule at `sinceStart` of the center's clock: the announced words from `settings`,
// `centerTime` the clock in milliseconds modulo 2^32, and `switchTime` the next multiple of
// the switch period after it (also modulo 2^32; parlons use only switchTime - centerTime,
// which the wrap-around does not change).
// REQUIRES: settings.switchPeriod > 0.
CenterSchedule ScheduleAt(const CenterSettings& settings, std::chrono::milliseconds sinceStart);

}  // namespace parlon
