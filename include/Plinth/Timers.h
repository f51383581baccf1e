/// \file
/// Timers for host programs: a cumulative millisecond timer on the local time of day, and a
/// stopwatch on the system clock at 100-nanosecond resolution with a bias. Neither logs, locks or
/// throws anything of its own; one object is for one thread at a time.
///
/// The example host times its capture with both timers, from the entry into the capturing state to
/// the exit from it:
/// \snippet demo_host.cpp Timers
/// and reads them when it stops:
/// \snippet demo_host.cpp Timers readout
#pragma once

#include <Plinth/Export.h>

#include <cstdint>
#include <memory>

#include <boost/date_time/posix_time/posix_time_duration.hpp>

namespace Melvo {

/// Adds up the intervals during which it runs, in milliseconds. The intervals are differences of
/// the local time of day: one that spans local midnight adds a negative amount (about a day less),
/// and one that spans a daylight-saving change is shifted by the change.
class PLINTH_API BasicTimer {
 public:
  BasicTimer();
  ///@{
  /// Copies take over the accumulated time and the running state.
  BasicTimer(const BasicTimer& other);
  BasicTimer& operator=(const BasicTimer& other);
  ///@}
  virtual ~BasicTimer();

  /// Starts a stopped timer; a running one keeps its start.
  void StartTimer();
  /// Stops the timer and returns the milliseconds accumulated.
  std::int64_t StopTimer();
  /// The milliseconds accumulated, the running interval included.
  std::int64_t GetElapsedTime() const;
  /// Drops what was accumulated and stops the timer, or restarts it from now when `restart`.
  void ResetTimer(bool restart);
  /// Whether the timer runs.
  bool IsRunning() const;

 private:
  // Adds the running interval up to now to `accumulated`; returns it in whole milliseconds.
  std::int64_t Total() const;

  mutable boost::posix_time::time_duration startTimeOfDay;
  mutable boost::posix_time::time_duration accumulated;
  bool running = false;
};

/// Measures from its last start on the system clock, in ticks of 100 ns since 1970. Each start
/// begins a new interval; a bias in seconds is subtracted from every elapsed time it reports. In
/// milliseconds, the interval and the bias are each truncated toward zero before the subtraction.
class PLINTH_API StopwatchTimerPrecise {
 public:
  StopwatchTimerPrecise();
  ///@{
  /// Copies take over the start, the stop, the running state and the bias.
  StopwatchTimerPrecise(const StopwatchTimerPrecise& other);
  StopwatchTimerPrecise& operator=(const StopwatchTimerPrecise& other);
  ///@}
  ~StopwatchTimerPrecise();

  /// Starts a stopped stopwatch from now; a running one keeps its start.
  void Start();
  /// Stops the stopwatch at now, running or not, and returns the milliseconds from the start.
  std::int64_t Stop();
  /// Milliseconds from the start to now while running, else to the last stop.
  std::int64_t GetElapsedTime();
  /// The same in seconds, less the exact bias.
  double GetElapsedTimeInSeconds();
  /// Returns the milliseconds from the start to now, then clears start and stop and stops the
  /// stopwatch, or restarts it from now when `restart`. The bias stays.
  std::int64_t Reset(bool restart);
  /// Whether the stopwatch runs.
  bool IsRunning() const;

  ///@{
  /// The seconds subtracted from every elapsed time.
  void SetBias(const double& seconds);
  double GetBias() const;
  ///@}
  /// Subtracts `seconds` more from every elapsed time.
  void AddToBias(const double& seconds);
  /// Adds `seconds` to every elapsed time.
  void AddToElapsedTime(const double& seconds);

  /// A new stopwatch in the same state, running or not, with the same bias.
  std::shared_ptr<StopwatchTimerPrecise> Clone() const;

  /// The steady clock's time since its epoch, in seconds.
  static double GetNowInSeconds();

 private:
  // Ticks from the start to `end` in whole milliseconds, less the bias in whole milliseconds.
  std::int64_t ElapsedMilliseconds(std::int64_t end) const;

  std::int64_t startTicks = 0;
  std::int64_t stopTicks = 0;
  bool running = false;
  double bias = 0.0;
};

}  // namespace Melvo
