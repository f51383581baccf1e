#include "support/CrashProcess.h"

#include <array>
#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace PlinthTest {

std::string LldbBacktrace(const std::string& dumpPath, const std::string& command) {
  const std::string run =
      "lldb --no-lldbinit --batch -c '" + dumpPath + "' -o '" + command + "' 2>/dev/null";
  FILE* pipe = popen(run.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run lldb");
  std::string output;
  std::array<char, 4096> chunk;
  std::size_t got;
  while ((got = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) output.append(chunk.data(), got);
  pclose(pipe);
  // Debian's lldb 14 reports Python import errors at start; they say nothing about the dump.
  std::istringstream lines(output);
  std::string kept;
  std::string line;
  bool inTraceback = false;
  while (std::getline(lines, line)) {
    if (line.rfind("Traceback", 0) == 0) inTraceback = true;
    if (!inTraceback) kept += line + "\n";
    if (inTraceback && line.find("Error") != std::string::npos && line.rfind(" ", 0) != 0)
      inTraceback = false;
  }
  return kept;
}

}  // namespace PlinthTest
