// BasicTimer and StopwatchTimerPrecise, driven through clocks the tests set, so that midnight,
// truncation and bias are checked exactly and nothing depends on how busy the machine is.
#include <Plinth/Timers.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/PlatformClock.h"

namespace {

using namespace boost::posix_time;

// The clocks every timer reads: set by the tests; the local read numbered `failingRead` throws.
time_duration timeOfDay = hours(10), stepPerRead;
std::int64_t systemTicks = 0;
int localReads = 0, failingRead = 0;

}  // namespace

namespace Melvo::platform {

time_duration LocalTimeOfDay() {
  return ++localReads == failingRead ? throw std::runtime_error("no clock") : timeOfDay += stepPerRead;
}
std::int64_t SystemTicks() {
  return systemTicks;
}
std::int64_t SteadyNanoseconds() {
  return 1234567890123;
}

}  // namespace Melvo::platform

namespace {

// Intervals add up in whole milliseconds, truncated toward zero; past midnight the clock goes back
// and the negative difference is added. A clock that fails leaves the timer as it was.
TEST(BasicTimer, AddsUpRunningIntervalsAsTheLocalClockGoes) {
  Melvo::BasicTimer timer;
  timer.StartTimer();
  timeOfDay += milliseconds(100);
  EXPECT_EQ(timer.StopTimer(), 100);
  timeOfDay += seconds(5);
  EXPECT_TRUE(timer.StopTimer() == 100 && !timer.IsRunning()) << "stopping a stopped timer adds nothing";
  timer.StartTimer();
  timeOfDay += microseconds(50999);
  EXPECT_EQ(timer.GetElapsedTime(), 150);
  timer.StartTimer();                // kept running from the first start
  timeOfDay = microseconds(100500);  // past midnight: 10 h less 100.5 ms back
  EXPECT_EQ(timer.GetElapsedTime(), -36004899);
  failingRead = localReads + 2;  // the reset's reading for the restart
  EXPECT_THROW(timer.ResetTimer(true), std::runtime_error);
  failingRead = 0;
  EXPECT_TRUE(timer.IsRunning() && timer.GetElapsedTime() == -36004899) << "left as it was";
  timer.ResetTimer(false);
  timeOfDay += milliseconds(70);
  EXPECT_TRUE(timer.GetElapsedTime() == 0 && !timer.IsRunning());
  stepPerRead = milliseconds(1);  // the restart counts from the reset's last reading
  timer.StartTimer();
  timer.ResetTimer(true);
  EXPECT_TRUE(timer.IsRunning() && timer.GetElapsedTime() == 1);
}

// Interval and bias are truncated toward zero each; a bias beyond 2^62 ms is held there.
TEST(StopwatchTimerPrecise, MeasuresFromItsLastStartLessTheBias) {
  const std::int64_t limit = std::int64_t{1} << 62;
  const std::tuple<std::int64_t, double, std::int64_t> cases[] = {
      {10005, 0.0009, 1},     // 1 - 0, not the truncation of 1.0005 - 0.9
      {-49999, -0.0015, -3},  // a clock set back
      {30000000, 1e300, 3000 - limit},
      {30000000, -1e300, 3000 + limit},
      {30000000, -4.6e15, 3000 + 4600000000000000000},
      {30000000, std::numeric_limits<double>::quiet_NaN(), 3000}};
  for (const auto& [ticks, bias, elapsed] : cases) {
    Melvo::StopwatchTimerPrecise watch;
    watch.Start();
    systemTicks += ticks;
    watch.SetBias(bias);
    EXPECT_EQ(watch.GetElapsedTime(), elapsed) << ticks << " ticks, bias " << bias;
  }
  EXPECT_DOUBLE_EQ(Melvo::StopwatchTimerPrecise::GetNowInSeconds(), 1234.567890123);
  Melvo::StopwatchTimerPrecise watch;
  watch.Start();
  systemTicks += 12345678;
  watch.Start();  // kept running from the first start
  watch.AddToElapsedTime(1.5);
  watch.AddToBias(3.5);
  EXPECT_DOUBLE_EQ(watch.GetElapsedTimeInSeconds() + watch.GetBias(), 1.2345678);
  EXPECT_EQ(watch.Stop(), -766);
  systemTicks += 30000000;
  EXPECT_TRUE(!watch.IsRunning() && watch.Clone()->GetElapsedTime() == -766) << "stopped: to the stop";
  EXPECT_EQ(watch.Reset(true), 2234) << "to now, also when stopped";
  systemTicks += 40000000;
  EXPECT_TRUE(watch.IsRunning() && watch.GetElapsedTime() == 2000) << "a restart counts from the reset";
}

}  // namespace
