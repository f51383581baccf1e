#include "platform/PlatformClock.h"

#include <boost/chrono/system_clocks.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace Melvo::platform {

boost::posix_time::time_duration LocalTimeOfDay() {
  return boost::posix_time::microsec_clock::local_time().time_of_day();
}

std::int64_t SystemTicks() {
  using Ticks = boost::chrono::duration<std::int64_t, boost::ratio<1, 10000000>>;
  return boost::chrono::duration_cast<Ticks>(boost::chrono::system_clock::now().time_since_epoch()).count();
}

std::int64_t SteadyNanoseconds() {
  return boost::chrono::duration_cast<boost::chrono::nanoseconds>(
             boost::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace Melvo::platform
