// The clocks the timers read. Boost reads the system's clocks the same way on every platform, so
// there is one implementation; tests link a scripted one in its place to drive the timers through
// midnight, across biases and truncations exactly, without sleeping.
#pragma once

#include <cstdint>

#include <boost/date_time/posix_time/posix_time_duration.hpp>

namespace Melvo::platform {

// Local wall-clock time of day: microseconds since local midnight.
boost::posix_time::time_duration LocalTimeOfDay();

// System clock: ticks of 100 ns since 1 January 1970 UTC.
std::int64_t SystemTicks();

// Steady clock: nanoseconds since its epoch.
std::int64_t SteadyNanoseconds();

}  // namespace Melvo::platform
