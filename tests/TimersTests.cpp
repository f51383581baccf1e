// BasicTimer and StopwatchTimerPrecise, driven through clocks the tests set, so that midnight,
// truncation and bias are checked exactly and nothing depends on how busy the machine is.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>

#include <Plinth/Timers.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "platform/PlatformClock.h"

namespace {

using boost::posix_time::hours;
using boost::posix_time::microseconds;
using boost::posix_time::milliseconds;
using boost::posix_time::minutes;
using boost::posix_time::seconds;
using boost::posix_time::time_duration;
using Melvo::BasicTimer;
using Melvo::StopwatchTimerPrecise;

constexpr std::int64_t kTicksPerMs = 10000;

// The clocks every timer reads during a test: set by the test, counted, and able to fail.
struct TestClocks {
  static inline time_duration timeOfDay;
  static inline std::int64_t systemTicks = 0;
  static inline std::int64_t steadyNanoseconds = 0;
  static inline int localReads = 0;
  static inline int failingLocalRead = 0;  // the number of the local read that throws; 0 for none
  static inline time_duration stepPerLocalRead;
};

}  // namespace

namespace Melvo::platform {

time_duration LocalTimeOfDay() {
  if (++TestClocks::localReads == TestClocks::failingLocalRead)
    throw std::runtime_error("local time unavailable");
  return TestClocks::timeOfDay += TestClocks::stepPerLocalRead;
}

std::int64_t SystemTicks() {
  return TestClocks::systemTicks;
}

std::int64_t SteadyNanoseconds() {
  return TestClocks::steadyNanoseconds;
}

}  // namespace Melvo::platform

namespace {

class TimersTest : public testing::Test {
 protected:
  void SetUp() override {
    TestClocks::timeOfDay = hours(10);
    TestClocks::systemTicks = 16000000000000000;  // in 2020
    TestClocks::localReads = TestClocks::failingLocalRead = 0;
    TestClocks::stepPerLocalRead = time_duration();
  }

  static void Advance(time_duration by) { TestClocks::timeOfDay += by; }
  static void AdvanceTicks(std::int64_t ticks) { TestClocks::systemTicks += ticks; }
};

TEST_F(TimersTest, BasicTimerAddsUpRunningIntervalsInWholeMilliseconds) {
  BasicTimer timer;
  EXPECT_FALSE(timer.IsRunning());
  EXPECT_EQ(timer.GetElapsedTime(), 0);
  EXPECT_EQ(TestClocks::localReads, 0) << "a stopped timer reads no clock";

  timer.StartTimer();
  EXPECT_TRUE(timer.IsRunning());
  Advance(milliseconds(100));
  EXPECT_EQ(timer.StopTimer(), 100);
  EXPECT_FALSE(timer.IsRunning());
  Advance(seconds(5));
  EXPECT_EQ(timer.StopTimer(), 100) << "stopping a stopped timer adds nothing";

  timer.StartTimer();
  Advance(microseconds(50999));
  EXPECT_EQ(timer.GetElapsedTime(), 150) << "truncated";
  Advance(microseconds(1));
  BasicTimer copy(timer);
  EXPECT_EQ(copy.StopTimer(), 151);
  Advance(milliseconds(30));
  timer.StartTimer();
  Advance(milliseconds(20));
  EXPECT_EQ(timer.GetElapsedTime(), 201) << "a second start keeps the first";
  EXPECT_EQ(copy.GetElapsedTime(), 151) << "a copy runs on its own";
}

TEST_F(TimersTest, BasicTimerResetDropsEverythingAndMayRestart) {
  BasicTimer timer;
  timer.StartTimer();
  Advance(milliseconds(70));
  timer.ResetTimer(false);
  EXPECT_FALSE(timer.IsRunning());
  Advance(milliseconds(70));
  EXPECT_EQ(timer.GetElapsedTime(), 0);

  timer.StartTimer();
  Advance(milliseconds(40));
  // On a clock that moves with every reading, the restart counts from the reset's last reading.
  TestClocks::stepPerLocalRead = milliseconds(1);
  timer.ResetTimer(true);
  EXPECT_TRUE(timer.IsRunning());
  EXPECT_EQ(timer.GetElapsedTime(), 1);
}

TEST_F(TimersTest, BasicTimerAcrossLocalMidnightAddsTheNegativeDifference) {
  TestClocks::timeOfDay = hours(23) + minutes(59) + seconds(59) + milliseconds(900);
  BasicTimer timer;
  timer.StartTimer();
  TestClocks::timeOfDay = microseconds(100500);
  EXPECT_EQ(timer.GetElapsedTime(), -86399799) << "a day less, truncated toward zero";
}

TEST_F(TimersTest, BasicTimerLeftAsItWasWhenTheClockFails) {
  BasicTimer stopped;
  TestClocks::failingLocalRead = 1;
  EXPECT_THROW(stopped.StartTimer(), std::runtime_error);
  EXPECT_FALSE(stopped.IsRunning());

  BasicTimer timer;
  timer.StartTimer();
  Advance(milliseconds(40));
  for (int failing : {3, 4}) {  // the reset's reading of the interval, then its reading for the restart
    TestClocks::localReads = 2;
    TestClocks::failingLocalRead = failing;
    EXPECT_THROW(timer.ResetTimer(failing == 4), std::runtime_error);
    EXPECT_TRUE(timer.IsRunning());
  }
  TestClocks::localReads = 0;
  TestClocks::failingLocalRead = 1;
  EXPECT_THROW(timer.StopTimer(), std::runtime_error);
  EXPECT_TRUE(timer.IsRunning());
  TestClocks::failingLocalRead = 0;
  Advance(milliseconds(2));
  EXPECT_EQ(timer.GetElapsedTime(), 42);
}

TEST_F(TimersTest, StopwatchMeasuresFromItsLastStart) {
  TestClocks::systemTicks = 123450000;
  StopwatchTimerPrecise neverStarted;
  EXPECT_EQ(neverStarted.GetElapsedTimeInSeconds(), 0.0);
  EXPECT_EQ(neverStarted.Reset(false), 12345) << "from 1970";
  EXPECT_EQ(neverStarted.GetElapsedTimeInSeconds(), 0.0);

  StopwatchTimerPrecise watch;
  EXPECT_FALSE(watch.IsRunning());
  EXPECT_EQ(watch.Stop(), 12345) << "from 1970";
  watch.Start();
  EXPECT_TRUE(watch.IsRunning());
  AdvanceTicks(12345678);
  EXPECT_EQ(watch.GetElapsedTime(), 1234);
  EXPECT_DOUBLE_EQ(watch.GetElapsedTimeInSeconds(), 1.2345678);
  AdvanceTicks(10000);
  watch.Start();
  AdvanceTicks(10000);
  EXPECT_EQ(watch.Stop(), 1236) << "a second start keeps the first";
  EXPECT_FALSE(watch.IsRunning());
  AdvanceTicks(50000);
  EXPECT_EQ(watch.GetElapsedTime(), 1236);
  EXPECT_DOUBLE_EQ(watch.GetElapsedTimeInSeconds(), 1.2365678);
  EXPECT_EQ(watch.Stop(), 1241) << "each stop measures to itself";

  watch.Start();
  AdvanceTicks(30000);
  EXPECT_EQ(watch.GetElapsedTime(), 3) << "a start after a stop begins a new interval";
}

TEST_F(TimersTest, StopwatchTruncatesIntervalAndBiasSeparatelyTowardZero) {
  const std::int64_t limit = std::int64_t{1} << 62;  // a bias beyond it is held there
  const struct {
    std::int64_t ticks;
    double bias;
    std::int64_t milliseconds;
  } cases[] = {
      {10005, 0.0009, 1},  // 1 - 0, not the truncation of 1.0005 - 0.9
      {19999, -0.0015, 2},
      {-49999, 0, -4},  // a clock set back
      {30000000, 1e300, 3000 - limit},
      {30000000, -1e300, 3000 + limit},
      {30000000, -4.6e15, 3000 + 4600000000000000000},
      {30000000, std::numeric_limits<double>::quiet_NaN(), 3000},
  };
  for (const auto& c : cases) {
    StopwatchTimerPrecise watch;
    watch.Start();
    AdvanceTicks(c.ticks);
    watch.SetBias(c.bias);
    EXPECT_EQ(watch.GetElapsedTime(), c.milliseconds) << c.ticks << " ticks, bias " << c.bias;
  }
}

TEST_F(TimersTest, StopwatchBiasIsSubtractedFromEveryElapsedTimeAndSurvivesResetAndClone) {
  StopwatchTimerPrecise watch;
  watch.Start();
  AdvanceTicks(3000 * kTicksPerMs);
  watch.AddToElapsedTime(1.5);
  EXPECT_DOUBLE_EQ(watch.GetBias(), -1.5);
  EXPECT_EQ(watch.GetElapsedTime(), 4500);
  EXPECT_DOUBLE_EQ(watch.GetElapsedTimeInSeconds(), 4.5);
  watch.AddToBias(3.5);
  EXPECT_DOUBLE_EQ(watch.GetBias(), 2.0);
  EXPECT_EQ(watch.Stop(), 1000);

  std::shared_ptr<StopwatchTimerPrecise> clone = watch.Clone();
  ASSERT_NE(clone, nullptr);
  EXPECT_FALSE(clone->IsRunning());
  EXPECT_EQ(clone->GetElapsedTime(), 1000);
  AdvanceTicks(3000 * kTicksPerMs);
  EXPECT_EQ(watch.Reset(false), 4000) << "from the start to now, less the bias, also when stopped";
  EXPECT_FALSE(watch.IsRunning());
  EXPECT_EQ(watch.GetElapsedTime(), -2000) << "start and stop are cleared, the bias stays";

  watch.Start();
  AdvanceTicks(3000 * kTicksPerMs);
  clone = watch.Clone();
  EXPECT_EQ(watch.Reset(true), 1000);
  EXPECT_TRUE(watch.IsRunning());
  AdvanceTicks(4000 * kTicksPerMs);
  EXPECT_EQ(watch.GetElapsedTime(), 2000) << "a restart counts from the reset";
  EXPECT_EQ(clone->Stop(), 5000) << "a clone keeps running from the original's start";
  watch.Reset(false);
  EXPECT_FALSE(watch.IsRunning()) << "a reset without a restart stops a running stopwatch";
}

TEST_F(TimersTest, NowInSecondsIsTheSteadyClockInSeconds) {
  TestClocks::steadyNanoseconds = 1234567890123;
  EXPECT_DOUBLE_EQ(StopwatchTimerPrecise::GetNowInSeconds(), 1234.567890123);
}

}  // namespace
