// The operating system's side of crash handling: the process-wide filter that runs on a crashing
// thread, the library that writes dump files, and the dump file itself. Windows provides all of
// it (the unhandled-exception filter and DbgHelp's MiniDumpWriteDump); on POSIX fatal signals take
// the filter's place and the dump writer is the library's own.
#pragma once

#include <cstdint>
#include <string>

namespace Melvo::platform {

// What the platform knows about one crash: the exception pointers on Windows; on POSIX the
// signal, its information and the interrupted thread's registers.
struct CrashRecord;

// The filter run on the crashing thread: 1 when a dump was written, 0 when the platform's own
// handling of the crash should go on.
using CrashFilter = std::int32_t (*)(CrashRecord* crash);

// Makes `filter` the process's top-level crash filter, replacing whatever was installed before.
void InstallCrashFilter(CrashFilter filter);

// Lets the filter run on the calling thread even when that thread crashed by exhausting its stack.
// Each thread needs this once; false when the system refused it.
bool PrepareThreadForCrash();

// The dump writer library, loaded for one crash; opaque.
struct DumpLibrary;
// Its dump-writing entry point; opaque.
struct DumpWriter;

// The loaded library, or null when it cannot be found.
DumpLibrary* LoadDumpLibrary();
// The library's entry point, or null when the library lacks it.
DumpWriter* FindDumpWriter(DumpLibrary* library);
void ReleaseDumpLibrary(DumpLibrary* library);

using FileHandle = std::intptr_t;
constexpr FileHandle kInvalidFile = -1;

// Creates the file `pathText` (narrow text) for reading and writing, truncating one that exists,
// shared with no one. kInvalidFile on failure.
FileHandle CreateDumpFile(const std::string& pathText);
// Writes the dump of this process for `crash` into `file`; false on failure, with LastErrorCode
// telling why.
bool WriteDump(DumpWriter* writer, FileHandle file, CrashRecord* crash);
void CloseDumpFile(FileHandle file);

// The code of the calling thread's last failed system call.
std::uint32_t LastErrorCode();

}  // namespace Melvo::platform
