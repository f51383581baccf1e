#include "support/LogCapture.h"

#include <memory>
#include <mutex>
#include <utility>

#include <Plinth/Logging.h>
#include <spdlog/sinks/base_sink.h>

namespace PlinthTest {
namespace {

std::mutex recordsLock;
std::vector<LogRecord> records;

class CapturingSink : public spdlog::sinks::base_sink<std::mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    LogRecord record{message.level,
                     std::string(message.logger_name.begin(), message.logger_name.end()),
                     message.source.filename != nullptr ? message.source.filename : "",
                     message.source.line,
                     message.source.funcname != nullptr ? message.source.funcname : "",
                     std::string(message.payload.begin(), message.payload.end())};
    std::lock_guard<std::mutex> guard(recordsLock);
    records.push_back(std::move(record));
  }
  void flush_() override {}
};

}  // namespace

std::shared_ptr<spdlog::logger> LogCapture::MakeLogger(const std::string& name) {
  auto logger = std::make_shared<spdlog::logger>(name, std::make_shared<CapturingSink>());
  logger->set_level(spdlog::level::trace);
  return logger;
}

std::vector<LogRecord> LogCapture::Take() {
  std::lock_guard<std::mutex> guard(recordsLock);
  return std::exchange(records, {});
}

}  // namespace PlinthTest
