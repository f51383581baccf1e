// The timers against reading the same Boost clocks directly: what the timers add on top of the
// clock read (the replaceable clock source included) must not show.
#include <benchmark/benchmark.h>

#include <cstdint>

#include <Plinth/Timers.h>
#include <boost/chrono/system_clocks.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace {

using Ticks = boost::chrono::duration<std::int64_t, boost::ratio<1, 10000000>>;

std::int64_t SystemTicks() {
  return boost::chrono::duration_cast<Ticks>(boost::chrono::system_clock::now().time_since_epoch()).count();
}

// A stopwatch started and stopped: two reads of the system clock.
void StopwatchOurs(benchmark::State& state) {
  Melvo::StopwatchTimerPrecise watch;
  for (auto _ : state) {
    watch.Start();
    benchmark::DoNotOptimize(watch.Stop());
  }
}

void StopwatchPeer(benchmark::State& state) {
  for (auto _ : state) {
    const std::int64_t start = SystemTicks();
    benchmark::DoNotOptimize(start);
    benchmark::DoNotOptimize((SystemTicks() - start) / 10000);
  }
}

void NowInSecondsOurs(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(Melvo::StopwatchTimerPrecise::GetNowInSeconds());
  }
}

void NowInSecondsPeer(benchmark::State& state) {
  for (auto _ : state) {
    const auto now = boost::chrono::steady_clock::now().time_since_epoch();
    benchmark::DoNotOptimize(static_cast<double>(boost::chrono::nanoseconds(now).count()) * 1e-9);
  }
}

// A running cumulative timer read once: one read of the local time of day.
void BasicTimerOurs(benchmark::State& state) {
  Melvo::BasicTimer timer;
  timer.StartTimer();
  for (auto _ : state) {
    benchmark::DoNotOptimize(timer.GetElapsedTime());
  }
}

void BasicTimerPeer(benchmark::State& state) {
  boost::posix_time::time_duration start = boost::posix_time::microsec_clock::local_time().time_of_day();
  boost::posix_time::time_duration accumulated;
  for (auto _ : state) {
    const boost::posix_time::time_duration now =
        boost::posix_time::microsec_clock::local_time().time_of_day();
    accumulated += now - start;
    start = now;
    benchmark::DoNotOptimize(accumulated.total_microseconds() / 1000);
  }
}

BENCHMARK(StopwatchOurs)->Name("StopwatchStartStop/ours");
BENCHMARK(StopwatchPeer)->Name("StopwatchStartStop/peer");
BENCHMARK(NowInSecondsOurs)->Name("NowInSeconds/ours");
BENCHMARK(NowInSecondsPeer)->Name("NowInSeconds/peer");
BENCHMARK(BasicTimerOurs)->Name("BasicTimerRead/ours");
BENCHMARK(BasicTimerPeer)->Name("BasicTimerRead/peer");

}  // namespace
