// The process-wide record of the last code callback's time.
#include <Plinth/TidewaveSynchroInfo.h>

#include <new>

namespace vorn {

namespace {

// What the stored time starts at: one day before the instance is made.
constexpr TidewaveSynchroInfo::Duration kStartBeforeCreation{864000000000};

}  // namespace

TidewaveSynchroInfo& TidewaveSynchroInfo::Instance() {
  // Built in static storage on the first call and never destroyed: its destructor has nothing to
  // do, and leaving it in place keeps the instance usable from global destructors that run after
  // this library's own statics are gone.
  alignas(TidewaveSynchroInfo) static unsigned char storage[sizeof(TidewaveSynchroInfo)];
  static TidewaveSynchroInfo* const oInstance = new (storage) TidewaveSynchroInfo();
  return *oInstance;
}

TidewaveSynchroInfo::TidewaveSynchroInfo()
    : lastCodeCallbackTime((boost::chrono::time_point_cast<Duration>(boost::chrono::system_clock::now()) -
                            kStartBeforeCreation)
                               .time_since_epoch()
                               .count()) {}

TidewaveSynchroInfo::~TidewaveSynchroInfo() = default;

TidewaveSynchroInfo::TimePoint TidewaveSynchroInfo::GetLastTidewaveCodeCallbackTime() const {
  return TimePoint(Duration(lastCodeCallbackTime.load(std::memory_order_acquire)));
}

void TidewaveSynchroInfo::SetLastTidewaveCodeCallbackTime(TimePoint& time) {
  lastCodeCallbackTime.store(time.time_since_epoch().count(), std::memory_order_release);
}

}  // namespace vorn
