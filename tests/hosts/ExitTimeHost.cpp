// A host that still uses the library from its own global destructors, after main has returned:
// a global handle whose hand-back is refused then must reach the host's sink, not a freed logger.
// The host's objects are made before main and destroyed in reverse order: the duplicate handle
// first (it hands the buffer back), then the original one (refused, logged), then the pool.
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <Plinth/BufferQueue.h>
#include <Plinth/Logging.h>

namespace {

// Writes each message straight to standard output, which stays open until the process ends.
class RawStdoutSink : public spdlog::sinks::base_sink<std::mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    std::string line = std::string(message.logger_name.data(), message.logger_name.size()) + ": " +
                       std::string(message.payload.data(), message.payload.size()) + "\n";
    if (::write(STDOUT_FILENO, line.data(), line.size()) < 0) std::abort();
  }
  void flush_() override {}
};

std::shared_ptr<Melvo::BufferQueue> g_pool = Melvo::BufferQueue::Create(1, 64);
std::shared_ptr<Melvo::ManagedBuffer> g_handle = g_pool->AcquireBuffer(64, false);
Melvo::ManagedBuffer g_duplicate(g_handle->GetBuffer());

}  // namespace

int main() {
  auto host = std::make_shared<spdlog::logger>("vorn.Plinth", std::make_shared<RawStdoutSink>());
  InitLoggerPlinth({host}, LoggerThreadPoolSettings{64, 1});
  // The pool's logger is bound during main, as a running service's would be.
  try {
    g_pool->AcquireBuffer(64, false);
  } catch (const Melvo::BufferQueue::BufferQueueException&) {
  }
  return 0;
}
