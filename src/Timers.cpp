// BasicTimer and StopwatchTimerPrecise.
#include <Plinth/Timers.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>

#include <boost/chrono/system_clocks.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "TimerClocks.h"

namespace Melvo {
namespace detail {
namespace {

boost::posix_time::time_duration MachineLocalTimeOfDay() {
  return boost::posix_time::microsec_clock::local_time().time_of_day();
}

std::int64_t MachineSystemTicks() {
  using Ticks = boost::chrono::duration<std::int64_t, boost::ratio<1, 10000000>>;
  return boost::chrono::duration_cast<Ticks>(boost::chrono::system_clock::now().time_since_epoch()).count();
}

std::int64_t MachineSteadyNanoseconds() {
  return boost::chrono::duration_cast<boost::chrono::nanoseconds>(
             boost::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Constant-initialised, so the timers work in the hosts' static constructors and destructors too.
// Relaxed loads: they cost what a plain load costs.
std::atomic<boost::posix_time::time_duration (*)()> localTimeOfDay{&MachineLocalTimeOfDay};
std::atomic<std::int64_t (*)()> systemTicks{&MachineSystemTicks};
std::atomic<std::int64_t (*)()> steadyNanoseconds{&MachineSteadyNanoseconds};

boost::posix_time::time_duration LocalTimeOfDay() {
  return localTimeOfDay.load(std::memory_order_relaxed)();
}

std::int64_t SystemTicks() {
  return systemTicks.load(std::memory_order_relaxed)();
}

std::int64_t SteadyNanoseconds() {
  return steadyNanoseconds.load(std::memory_order_relaxed)();
}

}  // namespace

TimerClocks RealTimerClocks() {
  return TimerClocks{&MachineLocalTimeOfDay, &MachineSystemTicks, &MachineSteadyNanoseconds};
}

TimerClocks ReplaceTimerClocks(const TimerClocks& clocks) {
  return TimerClocks{localTimeOfDay.exchange(clocks.localTimeOfDay), systemTicks.exchange(clocks.systemTicks),
                     steadyNanoseconds.exchange(clocks.steadyNanoseconds)};
}

}  // namespace detail

namespace {

constexpr std::int64_t kTicksPerMillisecond = 10000;
constexpr double kTicksPerSecond = 10000000.0;

// The bias in whole milliseconds, truncated toward zero. A bias beyond any real interval is held
// at 2^62 ms, so that the conversion and the subtraction from an interval stay defined.
std::int64_t BiasMilliseconds(double biasSeconds) {
  constexpr double kLimit = 4611686018427387904.0;  // 2^62
  const double milliseconds = std::trunc(biasSeconds * 1000.0);
  if (std::isnan(milliseconds)) return 0;
  if (milliseconds >= kLimit) return static_cast<std::int64_t>(kLimit);
  if (milliseconds <= -kLimit) return -static_cast<std::int64_t>(kLimit);
  return static_cast<std::int64_t>(milliseconds);
}

}  // namespace

BasicTimer::BasicTimer() = default;
BasicTimer::BasicTimer(const BasicTimer& other) = default;
BasicTimer& BasicTimer::operator=(const BasicTimer& other) = default;
BasicTimer::~BasicTimer() = default;

void BasicTimer::StartTimer() {
  if (!running) {
    startTimeOfDay = detail::LocalTimeOfDay();
    running = true;
  }
}

std::int64_t BasicTimer::StopTimer() {
  const std::int64_t result = Total();
  running = false;
  return result;
}

std::int64_t BasicTimer::GetElapsedTime() const {
  return Total();
}

void BasicTimer::ResetTimer(bool restart) {
  Total();
  // Read before anything changes, so that a clock that throws leaves the timer as it was.
  const boost::posix_time::time_duration restartTime =
      restart ? detail::LocalTimeOfDay() : boost::posix_time::time_duration();
  running = restart;
  startTimeOfDay = restartTime;
  accumulated = boost::posix_time::time_duration();
}

bool BasicTimer::IsRunning() const {
  return running;
}

std::int64_t BasicTimer::Total() const {
  if (running) {
    const boost::posix_time::time_duration now = detail::LocalTimeOfDay();
    accumulated += now - startTimeOfDay;
    startTimeOfDay = now;
  }
  return accumulated.total_microseconds() / 1000;
}

StopwatchTimerPrecise::StopwatchTimerPrecise() = default;
StopwatchTimerPrecise::StopwatchTimerPrecise(const StopwatchTimerPrecise& other) = default;
StopwatchTimerPrecise& StopwatchTimerPrecise::operator=(const StopwatchTimerPrecise& other) = default;
StopwatchTimerPrecise::~StopwatchTimerPrecise() = default;

void StopwatchTimerPrecise::Start() {
  if (!running) {
    startTicks = detail::SystemTicks();
    running = true;
  }
}

std::int64_t StopwatchTimerPrecise::Stop() {
  stopTicks = detail::SystemTicks();
  running = false;
  return ElapsedMilliseconds(stopTicks);
}

std::int64_t StopwatchTimerPrecise::GetElapsedTime() {
  return ElapsedMilliseconds(running ? detail::SystemTicks() : stopTicks);
}

double StopwatchTimerPrecise::GetElapsedTimeInSeconds() {
  const std::int64_t end = running ? detail::SystemTicks() : stopTicks;
  return static_cast<double>(end - startTicks) / kTicksPerSecond - bias;
}

std::int64_t StopwatchTimerPrecise::Reset(bool restart) {
  const std::int64_t result = ElapsedMilliseconds(detail::SystemTicks());
  running = false;
  stopTicks = 0;
  startTicks = 0;
  if (restart) {
    startTicks = detail::SystemTicks();
    running = true;
  }
  return result;
}

bool StopwatchTimerPrecise::IsRunning() const {
  return running;
}

void StopwatchTimerPrecise::SetBias(const double& seconds) {
  bias = seconds;
}

double StopwatchTimerPrecise::GetBias() const {
  return bias;
}

void StopwatchTimerPrecise::AddToBias(const double& seconds) {
  bias += seconds;
}

void StopwatchTimerPrecise::AddToElapsedTime(const double& seconds) {
  bias -= seconds;
}

std::shared_ptr<StopwatchTimerPrecise> StopwatchTimerPrecise::Clone() const {
  return std::make_shared<StopwatchTimerPrecise>(*this);
}

double StopwatchTimerPrecise::GetNowInSeconds() {
  return static_cast<double>(detail::SteadyNanoseconds()) * 1e-9;
}

std::int64_t StopwatchTimerPrecise::ElapsedMilliseconds(std::int64_t end) const {
  return (end - startTicks) / kTicksPerMillisecond - BiasMilliseconds(bias);
}

}  // namespace Melvo
