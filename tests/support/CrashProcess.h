// Runs code that crashes in a forked child, and lldb on the minidump it leaves.
#pragma once

#include <functional>
#include <string>

namespace PlinthTest {

// Runs `body` in a forked child that leaves with _exit(0) if `body` returns; the child's wait
// status. The child's pid is stored in `childPid` when given.
int RunInChild(const std::function<void()>& body, int* childPid = nullptr);

// "signal 11", "exit 0": how a wait status ended, for readable failures.
std::string DescribeWaitStatus(int status);

// The text of a whole file; empty when it cannot be read.
std::string ReadTextFile(const std::string& path);

// The backtrace of the crashing thread in the minidump `dumpPath` as lldb prints it, without the
// Python tracebacks that Debian's lldb prints at start-up.
std::string LldbBacktrace(const std::string& dumpPath);

}  // namespace PlinthTest
