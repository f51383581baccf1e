// Captures what the library logs, so tests can assert on level, logger, location and text.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <spdlog/logger.h>

namespace PlinthTest {

struct LogRecord {
  spdlog::level::level_enum level;
  std::string logger;
  std::string file;
  int line;
  std::string function;
  std::string text;
};

class LogCapture {
 public:
  // A logger at trace level whose messages are captured here.
  static std::shared_ptr<spdlog::logger> MakeLogger(const std::string& name);

  // The records written since the last Take (or Install), oldest first; clears them.
  static std::vector<LogRecord> Take();
};

}  // namespace PlinthTest
