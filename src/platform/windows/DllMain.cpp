// The library DLL's entry point, by which the library learns that the process is ending around it.
#include "platform/PlatformProcess.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>

namespace Melvo::platform {

namespace {

std::atomic<bool> processEnding{false};

}  // namespace

bool ProcessIsEnding() {
  return processEnding.load();
}

}  // namespace Melvo::platform

// The DLL is unloaded because the process ends when the reserved argument is not null: the system
// has then already stopped the other threads. The C++ runtime runs the library's global destructors
// after this returns.
extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) Melvo::platform::processEnding.store(true);
  return TRUE;
}
