// The operating system's side of crash handling: the process-wide filter that runs on a crashing
// thread, and the writing of a dump of the process to a file. On Windows the filter is the
// unhandled-exception filter and the dump is DbgHelp's; on Linux fatal signals take the filter's
// place and the dump writer is the library's own.
#pragma once

#include <cstdint>
#include <string>

namespace Melvo::platform {

// What the platform knows about one crash: the exception pointers on Windows; on Linux the
// signal, its information and the interrupted thread's registers.
struct CrashRecord;

// The filter run on the crashing thread: 1 when a dump was written, 0 when the platform's own
// handling of the crash should go on.
using CrashFilter = std::int32_t (*)(CrashRecord* crash);

// Makes `filter` the process's top-level crash filter, replacing whatever was installed before.
void InstallCrashFilter(CrashFilter filter);

// How long the handling of a crash may take, the filter included, before the process is ended
// anyway: with the crash's own status where the platform can, killed otherwise. A filter stuck on
// a lock the crashed code held, or in an observer that never returns, cannot keep a service from
// being restarted. 0 or less: no limit.
constexpr std::int64_t kDefaultCrashTimeLimit = 5000;
void SetCrashTimeLimit(std::int64_t milliseconds);

// Lets the filter run on the calling thread even when that thread crashed by exhausting its stack.
// Each thread needs this once; false when the system refused it.
bool PrepareThreadForCrash();

// How writing the dump of a crash went.
struct DumpResult {
  enum class Outcome {
    WriterNotFound,  // the system's dump writer could not be loaded
    WriterTooOld,    // the loaded dump writer lacks the entry point that writes dumps
    FileNotCreated,
    WriteFailed,  // the file stays, with whatever was written: it may still help
    Written,
  };
  Outcome outcome;
  // The system's code for a failed write; 0 otherwise.
  std::uint32_t errorCode;
  // Why the dump lacks threads of the process that it should hold, with the system's code; null
  // when it holds every one.
  const char* missingThreads = nullptr;
  std::uint32_t missingThreadsError = 0;
};

// Writes the dump of this process for `crash`, every thread in it, to the file `pathText` (narrow
// text), created, or truncated when it exists, and readable by the process's own user alone where
// the system has such permissions. Runs on the crashing thread.
DumpResult WriteCrashDump(const std::string& pathText, CrashRecord* crash);

}  // namespace Melvo::platform
