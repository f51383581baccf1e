// The one entry by which code that the library compiles into its hosts (header templates) writes
// through the library's own loggers.
//
// A header template runs in the host's binary, with the host's copy of spdlog or none at all, so it
// cannot use the library's registry directly. It formats its message itself and hands the text,
// the level and the location to WriteLogStatement, which looks the logger up by name in the
// library's registry exactly as the library's own statements do.
#pragma once

#include <Plinth/Export.h>

#include <string>

namespace Melvo::detail {

// Writes `text` at `level` (0 trace to 5 critical; other values write nothing) to the logger that
// the library binds to `loggerName`, with the source location `file`, `line`, `function`. The
// location strings must outlive the process's logging (string literals or static constants):
// asynchronous loggers keep the pointers until their worker writes the message.
PLINTH_API void WriteLogStatement(const std::string& loggerName, const char* file, int line,
                                  const char* function, int level, const std::string& text);

}  // namespace Melvo::detail
