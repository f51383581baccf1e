// BasicTimer and StopwatchTimerPrecise.
#include <Plinth/Timers.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "platform/PlatformClock.h"

namespace Melvo {
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
    startTimeOfDay = platform::LocalTimeOfDay();
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
      restart ? platform::LocalTimeOfDay() : boost::posix_time::time_duration();
  running = restart;
  startTimeOfDay = restartTime;
  accumulated = boost::posix_time::time_duration();
}

bool BasicTimer::IsRunning() const {
  return running;
}

std::int64_t BasicTimer::Total() const {
  if (running) {
    const boost::posix_time::time_duration now = platform::LocalTimeOfDay();
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
    startTicks = platform::SystemTicks();
    running = true;
  }
}

std::int64_t StopwatchTimerPrecise::Stop() {
  stopTicks = platform::SystemTicks();
  running = false;
  return ElapsedMilliseconds(stopTicks);
}

std::int64_t StopwatchTimerPrecise::GetElapsedTime() {
  return ElapsedMilliseconds(running ? platform::SystemTicks() : stopTicks);
}

double StopwatchTimerPrecise::GetElapsedTimeInSeconds() {
  const std::int64_t end = running ? platform::SystemTicks() : stopTicks;
  return static_cast<double>(end - startTicks) / kTicksPerSecond - bias;
}

std::int64_t StopwatchTimerPrecise::Reset(bool restart) {
  const std::int64_t result = ElapsedMilliseconds(platform::SystemTicks());
  running = false;
  stopTicks = 0;
  startTicks = 0;
  if (restart) {
    startTicks = platform::SystemTicks();
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
  return static_cast<double>(platform::SteadyNanoseconds()) * 1e-9;
}

std::int64_t StopwatchTimerPrecise::ElapsedMilliseconds(std::int64_t end) const {
  return (end - startTicks) / kTicksPerMillisecond - BiasMilliseconds(bias);
}

}  // namespace Melvo
