// Crash handling on Windows: the process's unhandled-exception filter, and DbgHelp's
// MiniDumpWriteDump loaded for each crash.
#include "platform/PlatformCrash.h"

#include <atomic>
#include <string>

#include <windows.h>

#include <dbghelp.h>

namespace Melvo::platform {

struct CrashRecord {
  EXCEPTION_POINTERS* pointers;
};

namespace {

using MiniDumpWriteDumpFunction = BOOL(WINAPI*)(HANDLE process, DWORD processId, HANDLE file,
                                                MINIDUMP_TYPE type, PMINIDUMP_EXCEPTION_INFORMATION exception,
                                                PMINIDUMP_USER_STREAM_INFORMATION userStreams,
                                                PMINIDUMP_CALLBACK_INFORMATION callback);

// Stack that Windows keeps back so that a thread which overflowed its stack can still run the filter.
constexpr ULONG kStackGuarantee = 64 * 1024;

std::atomic<CrashFilter> installedFilter{nullptr};
std::atomic<std::int64_t> crashTimeLimit{kDefaultCrashTimeLimit};
std::atomic<DWORD> crashCode{0};

// Ends the process with the crash's code once the time limit has passed, unless it has ended by
// then.
DWORD WINAPI EndWhenTimeIsUp(LPVOID) {
  Sleep(static_cast<DWORD>(crashTimeLimit.load()));
  TerminateProcess(GetCurrentProcess(), crashCode.load());
  return 0;
}

LONG WINAPI TopLevelFilter(EXCEPTION_POINTERS* pointers) {
  crashCode.store(pointers->ExceptionRecord->ExceptionCode);
  if (crashTimeLimit.load() > 0) {
    const HANDLE watchdog = CreateThread(nullptr, 0, &EndWhenTimeIsUp, nullptr, 0, nullptr);
    if (watchdog != nullptr) CloseHandle(watchdog);
  }
  CrashRecord record{pointers};
  const CrashFilter filter = installedFilter.load();
  return filter != nullptr ? filter(&record) : EXCEPTION_CONTINUE_SEARCH;
}

// DbgHelp, loaded for one crash: the copy beside the executable first, as it may be newer than the
// system's. Released when the dump is done.
class DumpLibrary {
 public:
  DumpLibrary() {
    wchar_t executable[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, executable, MAX_PATH);
    if (length != 0) {
      std::wstring candidate(executable, length);
      const std::wstring::size_type lastSlash = candidate.rfind(L'\\');
      if (lastSlash != std::wstring::npos) {
        candidate.erase(lastSlash + 1);
        candidate += L"DBGHELP.DLL";
        module_ = LoadLibraryW(candidate.c_str());
      }
    }
    if (module_ == nullptr) module_ = LoadLibraryW(L"DBGHELP.DLL");
  }
  ~DumpLibrary() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  DumpLibrary(const DumpLibrary&) = delete;
  DumpLibrary& operator=(const DumpLibrary&) = delete;

  bool IsLoaded() const { return module_ != nullptr; }
  MiniDumpWriteDumpFunction Writer() const {
    return reinterpret_cast<MiniDumpWriteDumpFunction>(
        reinterpret_cast<void*>(GetProcAddress(module_, "MiniDumpWriteDump")));
  }

 private:
  HMODULE module_ = nullptr;
};

}  // namespace

void InstallCrashFilter(CrashFilter filter) {
  installedFilter.store(filter);
  SetUnhandledExceptionFilter(&TopLevelFilter);
}

void SetCrashTimeLimit(std::int64_t milliseconds) {
  crashTimeLimit.store(milliseconds);
}

bool PrepareThreadForCrash() {
  ULONG guarantee = kStackGuarantee;
  return SetThreadStackGuarantee(&guarantee) != FALSE;
}

DumpResult WriteCrashDump(const std::string& pathText, CrashRecord* crash) {
  using Outcome = DumpResult::Outcome;
  const DumpLibrary library;
  if (!library.IsLoaded()) return {Outcome::WriterNotFound, 0};
  const MiniDumpWriteDumpFunction writeDump = library.Writer();
  if (writeDump == nullptr) return {Outcome::WriterTooOld, 0};

  const HANDLE file = CreateFileA(pathText.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {Outcome::FileNotCreated, 0};
  MINIDUMP_EXCEPTION_INFORMATION exception;
  exception.ThreadId = GetCurrentThreadId();
  exception.ExceptionPointers = crash->pointers;
  exception.ClientPointers = FALSE;
  const bool written = writeDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal, &exception,
                                 nullptr, nullptr) != FALSE;
  const DWORD error = GetLastError();
  CloseHandle(file);
  return written ? DumpResult{Outcome::Written, 0}
                 : DumpResult{Outcome::WriteFailed, static_cast<std::uint32_t>(error)};
}

}  // namespace Melvo::platform
