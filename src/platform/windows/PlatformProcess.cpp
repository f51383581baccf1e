// The process services on Windows: GetModuleFileNameW, SHGetFolderPathA, getenv_s and _wchdir.
#include "platform/PlatformProcess.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <shlobj.h>

#include <direct.h>
#include <stdlib.h>

#include <vector>

namespace Melvo::platform {

namespace {

constexpr std::size_t kLongestPath = 32768;

}  // namespace

boost::filesystem::path ExecutableFileName() {
  // A name cut off to fit the buffer fills it completely: try again with more room, up to the
  // longest path Windows has.
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) return boost::filesystem::path(std::wstring(buffer.data(), length));
    if (buffer.size() >= kLongestPath) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::optional<boost::filesystem::path> SystemFolderPath(SystemFolder folder) {
  const int identifier = folder == SystemFolder::CommonAppData ? CSIDL_COMMON_APPDATA : CSIDL_LOCAL_APPDATA;
  char buffer[MAX_PATH] = {};
  if (SHGetFolderPathA(nullptr, identifier, nullptr, 0, buffer) != 0) return std::nullopt;
  // Narrow text becomes a path through the path type's own conversion (the system code page).
  // Appending to the path adds the separator, so even a folder of the full 259 characters works.
  return boost::filesystem::path(std::string(buffer));
}

std::optional<std::string> EnvironmentVariable(const char* name, std::size_t capacity) {
  std::vector<char> buffer(capacity, '\0');
  std::size_t required = 0;
  const errno_t result = getenv_s(&required, buffer.data(), buffer.size(), name);
  // An absent variable needs no room. Microsoft's runtime reports it as a success, others (wine's)
  // as an error: the required size tells, not the result.
  if (required == 0) return std::string();
  if (result != 0 || required > capacity) return std::nullopt;
  return std::string(buffer.data());
}

bool ChangeWorkingDirectory(const boost::filesystem::path& folder) {
  return _wchdir(folder.c_str()) == 0;
}

}  // namespace Melvo::platform
