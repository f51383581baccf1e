#include <Plinth/TidewaveSynchroInfo.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <thread>
#include <type_traits>
#include <vector>

#include "support/ChildProcess.h"

namespace {

using vorn::TidewaveSynchroInfo;
using TimePoint = TidewaveSynchroInfo::TimePoint;
using PlinthTest::RunInChildProcess;

static_assert(std::is_same_v<TimePoint::clock, boost::chrono::system_clock>);
static_assert(std::is_same_v<TimePoint::rep, std::int64_t>);
static_assert(TimePoint::period::num == 1 && TimePoint::period::den == 10000000);
// Only Instance makes and owns the object.
static_assert(!std::is_default_constructible_v<TidewaveSynchroInfo>);
static_assert(!std::is_copy_constructible_v<TidewaveSynchroInfo>);
static_assert(!std::is_destructible_v<TidewaveSynchroInfo>);

TimePoint Now() {
  return boost::chrono::time_point_cast<TidewaveSynchroInfo::Duration>(boost::chrono::system_clock::now());
}

TimePoint FromTicks(std::int64_t ticks) {
  return TimePoint(TidewaveSynchroInfo::Duration(ticks));
}

TEST(TidewaveSynchroInfo, StartsOneDayBeforeTheFirstInstanceCall) {
  RunInChildProcess([] {
    const TidewaveSynchroInfo::Duration oneDay(864000000000);
    const TimePoint before = Now();
    const TimePoint start = TidewaveSynchroInfo::Instance().GetLastTidewaveCodeCallbackTime();
    const TimePoint after = Now();
    EXPECT_GE(start, before - oneDay);
    EXPECT_LE(start, after - oneDay);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(TidewaveSynchroInfo::Instance().GetLastTidewaveCodeCallbackTime(), start);
  });
}

TEST(TidewaveSynchroInfo, IsOneObjectThatKeepsTheTimeWhole) {
  RunInChildProcess([] {
    TidewaveSynchroInfo& first = TidewaveSynchroInfo::Instance();
    const TidewaveSynchroInfo& second = TidewaveSynchroInfo::Instance();
    EXPECT_EQ(&first, &second);
    for (const std::int64_t ticks :
         {std::int64_t{0}, std::int64_t{-116444736000000000}, std::int64_t{0x123456789ABCDEF},
          std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()}) {
      TimePoint time = FromTicks(ticks);
      first.SetLastTidewaveCodeCallbackTime(time);
      EXPECT_EQ(time, FromTicks(ticks));
      EXPECT_EQ(second.GetLastTidewaveCodeCallbackTime(), time);
    }
  });
}

// Readers and a writer at once: every value read is one of the two written, never a mix of halves.
TEST(TidewaveSynchroInfo, ReadersSeeOnlyWholeValuesWhileAWriterRuns) {
  RunInChildProcess([] {
    const TimePoint values[] = {FromTicks(0x00000000FFFFFFFF), FromTicks(0x7FFFFFFF00000000)};
    TidewaveSynchroInfo& info = TidewaveSynchroInfo::Instance();
    TimePoint initial = values[0];
    info.SetLastTidewaveCodeCallbackTime(initial);
    std::atomic<bool> done{false};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
      readers.emplace_back([&] {
        while (!done.load()) {
          const TimePoint seen = info.GetLastTidewaveCodeCallbackTime();
          if (seen != values[0] && seen != values[1]) {
            ADD_FAILURE() << "torn value " << seen.time_since_epoch().count();
            return;
          }
        }
      });
    }
    for (int i = 0; i < 200000; ++i) {
      TimePoint next = values[i % 2];
      info.SetLastTidewaveCodeCallbackTime(next);
    }
    done = true;
    for (auto& reader : readers) reader.join();
  });
}

}  // namespace
