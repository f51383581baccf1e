#include "support/CrashProcess.h"

#include <cstdio>

namespace PlinthTest {

int* volatile nowhere = nullptr;
volatile int afterCrash = 0;

__attribute__((noinline)) void WriteThroughNull() {
  *nowhere = 1;
  afterCrash = afterCrash + 1;  // the write is no tail call's: it stays in this frame
}

#ifndef _WIN32
std::string Lldb(const std::string& dumpPath, const std::string& command) {
  const std::string run = "lldb --no-lldbinit --batch -c '" + dumpPath + "' -o '" + command + "' 2>/dev/null";
  FILE* pipe = popen(run.c_str(), "r");
  std::string output;
  char chunk[4096];
  for (std::size_t got; pipe != nullptr && (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;)
    output.append(chunk, got);
  if (pipe != nullptr) pclose(pipe);
  return output;
}
#endif

}  // namespace PlinthTest
