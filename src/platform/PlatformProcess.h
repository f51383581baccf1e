// The operating-system services behind the application information: the executable's file name,
// the system's application-data folders, the one environment switch and the working directory.
// Everything above this interface (the order of the checks, the fallbacks, the quoting) is shared
// code and the same on every platform.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include <boost/filesystem/path.hpp>

namespace Melvo::platform {

// The full file name of the process's executable (never of this library); an empty path when the
// system cannot tell.
boost::filesystem::path ExecutableFileName();

enum class SystemFolder {
  CommonAppData,  // application data shared by all users of the machine
  LocalAppData,   // application data of the current user on this machine
};

// The system's folder of that kind, or nothing when the lookup fails. The folder is not created.
std::optional<boost::filesystem::path> SystemFolderPath(SystemFolder folder);

// The value of the environment variable `name`, an absent variable reading as the empty text.
// Nothing when the value, with its terminator, does not fit `capacity` bytes.
std::optional<std::string> EnvironmentVariable(const char* name, std::size_t capacity);

// Makes `folder` the process's current working directory; false when the system refuses.
bool ChangeWorkingDirectory(const boost::filesystem::path& folder);

// True once the system has begun to end the process under the library's feet, having stopped every
// other thread without a word: threads must then not be waited for. (Windows, as it unloads the
// library at exit; never on POSIX, where a process's threads end after its global destructors.)
bool ProcessIsEnding();

}  // namespace Melvo::platform
