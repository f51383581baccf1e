// A host of the library, built each way a host takes it: against the build tree (with spdlog
// compiled and header-only), against the installed packages (through CMake and pkg-config) and with
// Plinth as its subproject. It keeps its loggers in its own spdlog registry as well and hands them
// to the library: the library's messages must reach the host's sink, and what main recorded (the
// application information, the callback time) must still be there in the host's global destructors,
// after main has returned. The timers must follow the system's clocks. Exits 0 when all is well, 1
// with a message when not.
#include <Plinth/Plinth.h>
#include <spdlog/details/os.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

using Melvo::ApplicationInfo;
using vorn::TidewaveSynchroInfo;

void Require(bool condition, const std::string& failure) {
  if (condition) return;
  std::cerr << failure << '\n';
  std::_Exit(1);
}

using Ticks = TidewaveSynchroInfo::Duration;
// A day ago in 100-nanosecond ticks since 1970, counted without the library's own tick type.
std::int64_t OneDayAgo() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100 - 864000000000;
}

// Longer than any string kept inline, so that a freed copy would be a freed heap block.
const std::string kName = "A Host Whose Name Is Longer Than Any String Kept Inline";
constexpr std::int64_t kTicks = 0x0123456789ABCDEF;
std::ostringstream captured;
// The last message is logged after main. Each ends as spdlog ends lines on this system.
const std::string kLog =
    "vorn.Plinth.BufferQueue|error|src/BufferQueue|Melvo::BufferQueue::AcquireBuffer|No buffers left in the "
    "free list" SPDLOG_EOL
    "vorn.Plinth.BufferQueue|error|src/BufferQueue|Melvo::BufferQueue::RecycleBuffer|Tried to "
    "recycle buffer 0 which was never in use" SPDLOG_EOL;

// The host's globals are made before main and destroyed after everything main made, in reverse
// order: the duplicate handle first (it hands the buffer back), then the original one (refused and
// logged), then the pool, and last the check of the log and of what main recorded.
struct AfterMain {
  ~AfterMain() {
    const Ticks time = TidewaveSynchroInfo::Instance().GetLastTidewaveCodeCallbackTime().time_since_epoch();
    Require(
        ApplicationInfo::Name() == kName && ApplicationInfo::ServiceName() == kName && time == Ticks(kTicks),
        "after main: what main recorded is gone");
    Require(captured.str() == kLog, "unexpected log:\n" + captured.str() + "expected:\n" + kLog);
  }
} afterMain;
std::shared_ptr<Melvo::BufferQueue> pool = Melvo::BufferQueue::Create(1, 64);
std::shared_ptr<Melvo::ManagedBuffer> handle = pool->AcquireBuffer(64, false);
Melvo::ManagedBuffer duplicate(handle->GetBuffer());

int main() {
  // The callback time starts one day before the first call.
  const auto earliest = OneDayAgo();
  const auto start =
      TidewaveSynchroInfo::Instance().GetLastTidewaveCodeCallbackTime().time_since_epoch().count();
  Require(earliest <= start && start <= OneDayAgo(), "the callback time does not start a day before");
  // The timers read the system's clocks: a sleep of 20 ms lasts at least that long on both.
  Melvo::BasicTimer timer;
  Melvo::StopwatchTimerPrecise watch;
  timer.StartTimer();
  watch.Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Require(timer.StopTimer() >= 20 && watch.Stop() >= 20, "the timers do not follow the system's clocks");

  auto sink = std::make_shared<spdlog::sinks::ostream_sink_st>(captured);
  auto plinth = std::make_shared<spdlog::logger>("vorn.Plinth", sink);
  plinth->set_pattern("%n|%l|%g|%!|%v");
  // Were the library's registry the host's, the library's registration of the name would clash.
  spdlog::register_logger(plinth);
  InitLoggerPlinth({plinth}, LoggerThreadPoolSettings{64, 1});
  try {
    pool->AcquireBuffer(64, false);  // refused: the one buffer is in use
  } catch (const Melvo::BufferQueue::BufferQueueException&) {
  }
  // Only the host and its registry hold its logger; the library's loggers stay in the library's.
  Require(plinth.use_count() == 2 && !spdlog::get("vorn.Plinth.BufferQueue"), "the registries are mixed");

  const char* argv[] = {"host", "--verbose"};
  ApplicationInfo::Init(kName, "", "Org", "1.0", "", Melvo::DataFolderType::ExecutableFolder, 2, argv);
  ApplicationInfo::InitServiceName(kName);
  TidewaveSynchroInfo::TimePoint time{Ticks(kTicks)};
  TidewaveSynchroInfo::Instance().SetLastTidewaveCodeCallbackTime(time);
  return 0;
}
