// The process services on Linux and other POSIX systems: /proc/self/exe, the XDG base folders,
// getenv and chdir.
#include "platform/PlatformProcess.h"

#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <boost/system/error_code.hpp>

namespace Melvo::platform {

namespace {

// The variable's value when it is set to an absolute path; the base-directory convention says a
// relative or empty value is to be ignored.
std::optional<boost::filesystem::path> AbsolutePathFromVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  boost::filesystem::path folder(value);
  if (!folder.is_absolute()) return std::nullopt;
  return folder;
}

}  // namespace

boost::filesystem::path ExecutableFileName() {
  boost::system::error_code error;
  boost::filesystem::path file = boost::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  return file;
}

std::optional<boost::filesystem::path> SystemFolderPath(SystemFolder folder) {
  switch (folder) {
    case SystemFolder::CommonAppData:
      return boost::filesystem::path("/var/lib");
    case SystemFolder::LocalAppData:
      if (auto dataHome = AbsolutePathFromVariable("XDG_DATA_HOME")) return dataHome;
      if (auto home = AbsolutePathFromVariable("HOME")) return *home / ".local" / "share";
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<std::string> EnvironmentVariable(const char* name, std::size_t capacity) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::string();
  const std::size_t length = strnlen(value, capacity);
  if (length >= capacity) return std::nullopt;
  return std::string(value, length);
}

bool ChangeWorkingDirectory(const boost::filesystem::path& folder) {
  return ::chdir(folder.c_str()) == 0;
}

bool ProcessIsEnding() {
  return false;
}

}  // namespace Melvo::platform
