// The clocks the timers read, replaceable so that tests can drive the timers through midnight,
// across biases and truncations exactly, without sleeping.
#pragma once

#include <cstdint>

#include <boost/date_time/posix_time/posix_time_duration.hpp>

namespace Melvo::detail {

struct TimerClocks {
  // Local wall-clock time of day: microseconds since local midnight.
  boost::posix_time::time_duration (*localTimeOfDay)();
  // System clock: ticks of 100 ns since 1 January 1970 UTC.
  std::int64_t (*systemTicks)();
  // Steady clock: nanoseconds since its epoch.
  std::int64_t (*steadyNanoseconds)();
};

// The clocks of the machine.
TimerClocks RealTimerClocks();

// Makes every timer of the process read `clocks`; returns the clocks it replaces. Meant for tests,
// which set it while no timer is in use on another thread.
TimerClocks ReplaceTimerClocks(const TimerClocks& clocks);

}  // namespace Melvo::detail
