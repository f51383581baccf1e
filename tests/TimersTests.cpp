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

#include "TimerClocks.h"

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
  static time_duration timeOfDay;
  static std::int64_t systemTicks;
  static std::int64_t steadyNanoseconds;
  static int localReads;
  static int failingLocalRead;  // the number of the local read that throws; 0 for none
  static time_duration stepPerLocalRead;

  static time_duration LocalTimeOfDay() {
    if (++localReads == failingLocalRead) throw std::runtime_error("local time unavailable");
    timeOfDay += stepPerLocalRead;
    return timeOfDay;
  }
  static std::int64_t SystemTicks() { return systemTicks; }
  static std::int64_t SteadyNanoseconds() { return steadyNanoseconds; }
};

time_duration TestClocks::timeOfDay;
std::int64_t TestClocks::systemTicks = 0;
std::int64_t TestClocks::steadyNanoseconds = 0;
int TestClocks::localReads = 0;
int TestClocks::failingLocalRead = 0;
time_duration TestClocks::stepPerLocalRead;

class TimersTest : public testing::Test {
 protected:
  void SetUp() override {
    TestClocks::timeOfDay = hours(10);
    TestClocks::systemTicks = 16000000000000000;  // in 2020
    TestClocks::steadyNanoseconds = 0;
    TestClocks::localReads = 0;
    TestClocks::failingLocalRead = 0;
    TestClocks::stepPerLocalRead = time_duration();
    machineClocks = Melvo::detail::ReplaceTimerClocks(
        {&TestClocks::LocalTimeOfDay, &TestClocks::SystemTicks, &TestClocks::SteadyNanoseconds});
  }
  void TearDown() override { Melvo::detail::ReplaceTimerClocks(machineClocks); }

  static void Advance(time_duration by) { TestClocks::timeOfDay += by; }
  static void AdvanceTicks(std::int64_t ticks) { TestClocks::systemTicks += ticks; }

  Melvo::detail::TimerClocks machineClocks{};
};

TEST_F(TimersTest, BasicTimerAddsUpRunningIntervalsOnly) {
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
  EXPECT_EQ(timer.GetElapsedTime(), 100);
  EXPECT_EQ(timer.StopTimer(), 100) << "stopping a stopped timer adds nothing";

  timer.StartTimer();
  Advance(microseconds(50999));
  EXPECT_EQ(timer.GetElapsedTime(), 150) << "whole milliseconds, truncated";
  Advance(microseconds(1));
  EXPECT_EQ(timer.GetElapsedTime(), 151);
  Advance(milliseconds(30));
  timer.StartTimer();
  Advance(milliseconds(20));
  EXPECT_EQ(timer.GetElapsedTime(), 201) << "a second start keeps the first";
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
  timer.StopTimer();
  timer.ResetTimer(true);
  EXPECT_TRUE(timer.IsRunning());
  EXPECT_EQ(timer.GetElapsedTime(), 0);
  Advance(milliseconds(7));
  EXPECT_EQ(timer.GetElapsedTime(), 7) << "a restart counts from the reset";

  // On a clock that moves with every reading, the restart counts from the reset's last reading.
  TestClocks::stepPerLocalRead = milliseconds(1);
  timer.ResetTimer(true);
  EXPECT_EQ(timer.GetElapsedTime(), 1);
}

TEST_F(TimersTest, BasicTimerAcrossLocalMidnightAddsTheNegativeDifference) {
  TestClocks::timeOfDay = hours(23) + minutes(59) + seconds(59) + milliseconds(900);
  BasicTimer timer;
  timer.StartTimer();
  TestClocks::timeOfDay = milliseconds(100);
  EXPECT_EQ(timer.GetElapsedTime(), -86399800);

  // Negative amounts truncate toward zero, not down.
  BasicTimer fraction;
  TestClocks::timeOfDay = hours(23) + minutes(59) + seconds(59) + milliseconds(900);
  fraction.StartTimer();
  TestClocks::timeOfDay = microseconds(100500);
  EXPECT_EQ(fraction.StopTimer(), -86399799);
}

TEST_F(TimersTest, BasicTimerCopiesAreIndependent) {
  BasicTimer timer;
  timer.StartTimer();
  Advance(milliseconds(10));
  BasicTimer copy(timer);
  Advance(milliseconds(5));
  EXPECT_EQ(copy.StopTimer(), 15);
  Advance(milliseconds(5));
  EXPECT_TRUE(timer.IsRunning());
  EXPECT_EQ(timer.GetElapsedTime(), 20);

  BasicTimer assigned;
  assigned = copy;
  EXPECT_FALSE(assigned.IsRunning());
  Advance(milliseconds(5));
  EXPECT_EQ(assigned.GetElapsedTime(), 15);
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
    EXPECT_THROW(failing == 3 ? timer.ResetTimer(false) : timer.ResetTimer(true), std::runtime_error);
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
  StopwatchTimerPrecise watch;
  EXPECT_FALSE(watch.IsRunning());
  EXPECT_EQ(watch.GetElapsedTime(), 0);
  EXPECT_EQ(watch.GetElapsedTimeInSeconds(), 0.0);

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

  // A clock set back gives a negative interval, truncated toward zero.
  AdvanceTicks(-49999);
  EXPECT_EQ(watch.GetElapsedTime(), -1);
}

TEST_F(TimersTest, StopwatchNeverStartedMeasuresFrom1970) {
  TestClocks::systemTicks = 123456789;
  StopwatchTimerPrecise stopped;
  EXPECT_EQ(stopped.Stop(), 12345);
  StopwatchTimerPrecise reset;
  EXPECT_EQ(reset.Reset(false), 12345);
}

TEST_F(TimersTest, StopwatchResetMeasuresToNowAndMayRestart) {
  StopwatchTimerPrecise watch;
  watch.SetBias(0.002);
  watch.Start();
  AdvanceTicks(100 * kTicksPerMs);
  watch.Stop();
  AdvanceTicks(100 * kTicksPerMs);
  EXPECT_EQ(watch.Reset(false), 198) << "from the start to now, less the bias, also when stopped";
  EXPECT_FALSE(watch.IsRunning());
  EXPECT_EQ(watch.GetElapsedTime(), -2) << "start and stop are cleared, the bias stays";
  EXPECT_DOUBLE_EQ(watch.GetElapsedTimeInSeconds(), -0.002);
  EXPECT_DOUBLE_EQ(watch.GetBias(), 0.002);

  watch.Start();
  AdvanceTicks(50 * kTicksPerMs);
  EXPECT_EQ(watch.Reset(true), 48);
  EXPECT_TRUE(watch.IsRunning());
  AdvanceTicks(9 * kTicksPerMs);
  EXPECT_EQ(watch.GetElapsedTime(), 7) << "a restart counts from the reset";
}

TEST_F(TimersTest, StopwatchTruncatesIntervalAndBiasSeparately) {
  StopwatchTimerPrecise watch;
  watch.Start();
  AdvanceTicks(10005);  // 1.0005 ms
  watch.SetBias(0.0004);
  EXPECT_EQ(watch.GetElapsedTime(), 1) << "a bias under a millisecond leaves milliseconds alone";
  EXPECT_DOUBLE_EQ(watch.GetElapsedTimeInSeconds(), 0.0010005 - 0.0004);
  watch.SetBias(0.0009);
  EXPECT_EQ(watch.GetElapsedTime(), 1) << "1 - 0, not the truncation of 1.0005 - 0.9";

  AdvanceTicks(9994);  // 1.9999 ms
  watch.SetBias(-0.0015);
  EXPECT_EQ(watch.GetElapsedTime(), 2) << "1 - (-1): a negative bias truncates toward zero";
  EXPECT_DOUBLE_EQ(watch.GetElapsedTimeInSeconds(), 0.0019999 + 0.0015);
}

TEST_F(TimersTest, StopwatchBiasShiftsEveryElapsedTime) {
  StopwatchTimerPrecise watch;
  watch.Start();
  AdvanceTicks(3000 * kTicksPerMs);
  watch.AddToElapsedTime(1.5);
  EXPECT_DOUBLE_EQ(watch.GetBias(), -1.5);
  EXPECT_EQ(watch.GetElapsedTime(), 4500);
  EXPECT_DOUBLE_EQ(watch.GetElapsedTimeInSeconds(), 4.5);
  watch.AddToBias(0.25);
  EXPECT_DOUBLE_EQ(watch.GetBias(), -1.25);
  EXPECT_EQ(watch.GetElapsedTime(), 4250);
  EXPECT_EQ(watch.Stop(), 4250);
  watch.SetBias(1.0);
  EXPECT_EQ(watch.GetElapsedTime(), 2000);

  // A bias beyond any interval is held at 2^62 ms, so the results stay defined.
  const std::int64_t limit = std::int64_t{1} << 62;
  watch.SetBias(1e300);
  EXPECT_EQ(watch.GetElapsedTime(), 3000 - limit);
  watch.SetBias(-1e300);
  EXPECT_EQ(watch.GetElapsedTime(), 3000 + limit);
  watch.SetBias(-4.6e15);  // within the limit
  EXPECT_EQ(watch.GetElapsedTime(), 3000 + 4600000000000000000);
  watch.SetBias(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(watch.GetElapsedTime(), 3000);
}

TEST_F(TimersTest, StopwatchClonesAndCopiesAreIndependent) {
  StopwatchTimerPrecise watch;
  watch.SetBias(0.5);
  watch.Start();
  AdvanceTicks(2000 * kTicksPerMs);

  std::shared_ptr<StopwatchTimerPrecise> clone = watch.Clone();
  ASSERT_NE(clone, nullptr);
  EXPECT_TRUE(clone->IsRunning());
  EXPECT_DOUBLE_EQ(clone->GetBias(), 0.5);
  EXPECT_EQ(clone->Stop(), 1500);
  AdvanceTicks(1000 * kTicksPerMs);
  EXPECT_TRUE(watch.IsRunning());
  EXPECT_EQ(watch.GetElapsedTime(), 2500);
  EXPECT_EQ(clone->GetElapsedTime(), 1500);

  StopwatchTimerPrecise assigned;
  assigned = *clone;
  EXPECT_FALSE(assigned.IsRunning());
  EXPECT_EQ(assigned.GetElapsedTime(), 1500);
  StopwatchTimerPrecise copied(watch);
  AdvanceTicks(1000 * kTicksPerMs);
  EXPECT_EQ(copied.GetElapsedTime(), 3500);
}

TEST_F(TimersTest, NowInSecondsIsTheSteadyClockInSeconds) {
  TestClocks::steadyNanoseconds = 1234567890123;
  EXPECT_DOUBLE_EQ(StopwatchTimerPrecise::GetNowInSeconds(), 1234.567890123);
}

// The machine's own clocks, checked against the standard clocks rather than against time passing.
TEST(TimerClocks, MachineClocksAgreeWithTheStandardClocks) {
  const Melvo::detail::TimerClocks clocks = Melvo::detail::RealTimerClocks();

  const auto before = std::chrono::system_clock::now().time_since_epoch();
  const std::int64_t ticks = clocks.systemTicks();
  const auto after = std::chrono::system_clock::now().time_since_epoch();
  using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>;
  EXPECT_GE(ticks, std::chrono::duration_cast<Ticks>(before).count());
  EXPECT_LE(ticks, std::chrono::duration_cast<Ticks>(after).count());

  const auto steadyBefore = std::chrono::steady_clock::now().time_since_epoch();
  const double steadySeconds = StopwatchTimerPrecise::GetNowInSeconds();
  const auto steadyAfter = std::chrono::steady_clock::now().time_since_epoch();
  EXPECT_GE(steadySeconds, std::chrono::duration<double>(steadyBefore).count() - 1e-6);
  EXPECT_LE(steadySeconds, std::chrono::duration<double>(steadyAfter).count() + 1e-6);

  const time_duration boostBefore = boost::posix_time::microsec_clock::local_time().time_of_day();
  const time_duration ours = clocks.localTimeOfDay();
  const time_duration boostAfter = boost::posix_time::microsec_clock::local_time().time_of_day();
  if (boostBefore <= boostAfter) {  // not across midnight
    EXPECT_GE(ours, boostBefore);
    EXPECT_LE(ours, boostAfter);
  }
}

}  // namespace
