/// \file
/// The time of the last code callback, recorded by the host and read anywhere in the process.
///
/// The example host's capture callback records its time:
/// \snippet demo_host.cpp TidewaveSynchroInfo
#pragma once

#include <Plinth/Export.h>

#include <atomic>
#include <cstdint>

#include <boost/chrono/system_clocks.hpp>
#include <boost/ratio/ratio.hpp>

namespace vorn {

/// A process-wide singleton holding one time point. Until a time is recorded it holds the moment
/// of the first Instance call less one day. The getter and the setter take no lock and may be used
/// from any threads at once: a reader sees either the old or the new time point, whole.
class PLINTH_API TidewaveSynchroInfo {
 public:
  ///@{
  /// Signed 64-bit ticks of 100 nanoseconds since 1 January 1970 UTC.
  using Duration = boost::chrono::duration<std::int64_t, boost::ratio<1, 10000000>>;
  /// A time point of the system clock in those ticks.
  using TimePoint = boost::chrono::time_point<boost::chrono::system_clock, Duration>;
  ///@}

  /// The one instance, made by the first call (thread-safely); it lives as long as the process, so
  /// a host may use it from its own global destructors.
  static TidewaveSynchroInfo& Instance();

  /// The time last recorded.
  TimePoint GetLastTidewaveCodeCallbackTime() const;
  /// Records `time`; the argument is not changed.
  void SetLastTidewaveCodeCallbackTime(TimePoint& time);

  TidewaveSynchroInfo(const TidewaveSynchroInfo&) = delete;
  TidewaveSynchroInfo& operator=(const TidewaveSynchroInfo&) = delete;

 protected:
  TidewaveSynchroInfo();
  virtual ~TidewaveSynchroInfo();

 private:
  // The time point's tick count, so that it is read and written whole.
  std::atomic<std::int64_t> lastCodeCallbackTime;
};

}  // namespace vorn
