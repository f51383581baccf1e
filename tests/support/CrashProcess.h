// Crashes on purpose, and what lldb makes of the minidump a crash left.
#pragma once

#include <string>

namespace PlinthTest {

// Writes through a null pointer: an access violation, SIGSEGV on POSIX. Never inlined, so that it
// is a frame of its own in a backtrace.
void WriteThroughNull();

// What lldb prints for `command` ("thread backtrace all", say) on the minidump `dumpPath`. POSIX
// only.
std::string Lldb(const std::string& dumpPath, const std::string& command);

}  // namespace PlinthTest
