// Runs code that crashes in a child (see ChildProcess.h), and lldb on the minidump it leaves.
#pragma once

#include <string>

#include "support/ChildProcess.h"

namespace PlinthTest {

// The backtrace of the crashing thread in the minidump `dumpPath` as lldb prints it (of every
// thread, with `command` "thread backtrace all"), without the Python tracebacks that Debian's lldb
// prints at start-up.
std::string LldbBacktrace(const std::string& dumpPath, const std::string& command = "thread backtrace");

}  // namespace PlinthTest
