// BasicTimer and StopwatchTimerPrecise, driven through clocks the tests set, so that midnight,
// truncation and bias are checked exactly and nothing depends on how busy the machine is.
#include <Plinth/Timers.h>
#include <gtest/gtest.h>

#include "StateMachineSelfCheck.h"
#include "platform/PlatformClock.h"

namespace {

using namespace boost::posix_time;

// The clocks every timer reads, set by the tests.
time_duration timeOfDay = hours(10), stepPerRead;
std::int64_t systemTicks = 0;

}  // namespace

namespace Melvo::platform {

time_duration LocalTimeOfDay() {
  return timeOfDay += stepPerRead;
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
// and the negative difference is added. A restart counts from the reset's last reading.
TEST(BasicTimer, AddsUpRunningIntervalsAsTheLocalClockGoes) {
  Melvo::BasicTimer timer;
  timer.StartTimer();
  timeOfDay += milliseconds(100);
  timer.StopTimer();
  timeOfDay += seconds(5);
  EXPECT_TRUE(timer.StopTimer() == 100 && !timer.IsRunning()) << "stopping a stopped timer adds nothing";
  timer.StartTimer();
  timeOfDay += microseconds(50999);
  EXPECT_EQ(timer.GetElapsedTime(), 150);
  timer.StartTimer();                // kept running from the first start
  timeOfDay = microseconds(100500);  // past midnight: 10 h less 100.5 ms back
  EXPECT_EQ(timer.GetElapsedTime(), -36004899);
  stepPerRead = milliseconds(1);
  timer.ResetTimer(true);
  EXPECT_TRUE(timer.IsRunning() && timer.GetElapsedTime() == 1);
  timer.ResetTimer(false);
  EXPECT_TRUE(timer.GetElapsedTime() == 0 && !timer.IsRunning());
}

// Interval and bias are truncated toward zero each; a bias beyond 2^62 ms is held there. A reset
// returns the time to now, also when stopped, and a restart counts from it.
TEST(StopwatchTimerPrecise, MeasuresFromItsLastStartLessTheBias) {
  const std::int64_t limit = std::int64_t{1} << 62;
  const std::tuple<std::int64_t, double, std::int64_t> cases[] = {
      {30000000, 1e300, 3000 - limit},
      {30000000, -1e300, 3000 + limit},
      {30000000, std::numeric_limits<double>::quiet_NaN(), 3000},
      {-49999, -0.0015, -3},  // a clock set back
      {10005, 0.0009, 1}};    // 1 - 0, not the truncation of 1.0005 - 0.9
  Melvo::StopwatchTimerPrecise watch;
  EXPECT_TRUE(!watch.IsRunning() && watch.GetElapsedTimeInSeconds() == 0.0) << "a new stopwatch";
  std::int64_t last = 0;
  for (const auto& [ticks, bias, elapsed] : cases) {
    EXPECT_EQ(watch.Reset(true), last);
    systemTicks += ticks;
    watch.SetBias(bias);
    EXPECT_EQ(last = watch.GetElapsedTime(), elapsed) << ticks << " ticks, bias " << bias;
  }
  watch.Start();  // kept running from the last reset
  watch.AddToElapsedTime(1.5);
  watch.AddToBias(3.5);
  EXPECT_DOUBLE_EQ(watch.GetElapsedTimeInSeconds(), 0.0010005 - 2.0009);
  EXPECT_EQ(watch.Stop(), -1999);
  systemTicks += 30000000;
  EXPECT_TRUE(!watch.IsRunning() && watch.Clone()->GetElapsedTime() == -1999 && watch.Reset(false) == 1001 &&
              watch.GetElapsedTimeInSeconds() + watch.GetBias() == 0);
  EXPECT_DOUBLE_EQ(Melvo::StopwatchTimerPrecise::GetNowInSeconds(), 1234.567890123);
}

// The library's load-time run of a small state machine, here because this suite links the
// library's objects: it must have passed.
TEST(StateMachineSelfCheck, PassedWhenTheLibraryWasLoaded) {
  EXPECT_TRUE(Melvo::detail::StateMachineSelfCheckPassed());
}

}  // namespace
