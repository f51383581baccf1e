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

LONG WINAPI TopLevelFilter(EXCEPTION_POINTERS* pointers) {
  CrashRecord record{pointers};
  const CrashFilter filter = installedFilter.load();
  return filter != nullptr ? filter(&record) : EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void InstallCrashFilter(CrashFilter filter) {
  installedFilter.store(filter);
  SetUnhandledExceptionFilter(&TopLevelFilter);
}

bool PrepareThreadForCrash() {
  ULONG guarantee = kStackGuarantee;
  return SetThreadStackGuarantee(&guarantee) != FALSE;
}

DumpLibrary* LoadDumpLibrary() {
  // The copy beside the executable first: it may be newer than the system's.
  HMODULE library = nullptr;
  wchar_t executable[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, executable, MAX_PATH);
  if (length != 0) {
    std::wstring candidate(executable, length);
    const std::wstring::size_type lastSlash = candidate.rfind(L'\\');
    if (lastSlash != std::wstring::npos) {
      candidate.erase(lastSlash + 1);
      candidate += L"DBGHELP.DLL";
      library = LoadLibraryW(candidate.c_str());
    }
  }
  if (library == nullptr) library = LoadLibraryW(L"DBGHELP.DLL");
  return reinterpret_cast<DumpLibrary*>(library);
}

DumpWriter* FindDumpWriter(DumpLibrary* library) {
  return reinterpret_cast<DumpWriter*>(
      GetProcAddress(reinterpret_cast<HMODULE>(library), "MiniDumpWriteDump"));
}

void ReleaseDumpLibrary(DumpLibrary* library) {
  FreeLibrary(reinterpret_cast<HMODULE>(library));
}

FileHandle CreateDumpFile(const std::string& pathText) {
  const HANDLE file = CreateFileA(pathText.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? kInvalidFile : reinterpret_cast<FileHandle>(file);
}

bool WriteDump(DumpWriter* writer, FileHandle file, CrashRecord* crash) {
  MINIDUMP_EXCEPTION_INFORMATION exception;
  exception.ThreadId = GetCurrentThreadId();
  exception.ExceptionPointers = crash->pointers;
  exception.ClientPointers = FALSE;
  const auto writeDump = reinterpret_cast<MiniDumpWriteDumpFunction>(reinterpret_cast<void*>(writer));
  return writeDump(GetCurrentProcess(), GetCurrentProcessId(), reinterpret_cast<HANDLE>(file), MiniDumpNormal,
                   &exception, nullptr, nullptr) != FALSE;
}

void CloseDumpFile(FileHandle file) {
  CloseHandle(reinterpret_cast<HANDLE>(file));
}

std::uint32_t LastErrorCode() {
  return static_cast<std::uint32_t>(GetLastError());
}

}  // namespace Melvo::platform
