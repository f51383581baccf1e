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

boost::filesystem::path ExecutableFileName() {
  // One character more than is offered keeps a terminator even where a cut-off name is not
  // terminated by the system.
  wchar_t buffer[MAX_PATH] = {};
  if (GetModuleFileNameW(nullptr, buffer, MAX_PATH - 1) == 0) return {};
  return boost::filesystem::path(std::wstring(buffer));
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
  // An absent variable succeeds with an empty value; one too long for the buffer fails.
  if (getenv_s(&required, buffer.data(), buffer.size(), name) != 0) return std::nullopt;
  return std::string(buffer.data());
}

bool ChangeWorkingDirectory(const boost::filesystem::path& folder) {
  return _wchdir(folder.c_str()) == 0;
}

}  // namespace Melvo::platform
