// The library's logging channels: the host's loggers enter the library's own spdlog registry
// through InitLoggerPlinth, and every log statement finds its logger by name through a cache.
#include <Plinth/Logging.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>

#include <spdlog/async.h>
#include <spdlog/spdlog.h>

#include "LogStatement.h"
#include "platform/PlatformProcess.h"

namespace Melvo {

const std::string LogConfigSuffix = ".log.config";

const std::map<std::string, int> LogLevelNames = {
    {"trace", 0}, {"debug", 1}, {"info", 2}, {"warning", 3}, {"error", 4}, {"critical", 5}, {"off", 6},
};

const std::map<std::string, int> LogSinkTypes = {
    {"stdout", 1},      {"stdout_color", 2}, {"rotating_file", 3}, {"daily_file", 4},
    {"simple_file", 5}, {"syslog", 6},       {"msvc", 7},
};

const std::string OrganizationName = "VORNE";

namespace detail {
namespace {

// Name -> bound logger. Entries are only ever added, so a handle, once bound, stays valid and
// keeps its binding until the library is unloaded.
class LoggerCache {
 public:
  // The registry is made first, so that it outlives the cache and every logger bound in it.
  LoggerCache() { spdlog::details::registry::instance(); }
  // Runs just before the registry's destructor, which joins the worker threads. When the system
  // has stopped them already, that would wait forever: the pool is then let go unjoined.
  ~LoggerCache() {
    if (platform::ProcessIsEnding()) new std::shared_ptr<spdlog::details::thread_pool>(spdlog::thread_pool());
  }
  LoggerCache(const LoggerCache&) = delete;
  LoggerCache& operator=(const LoggerCache&) = delete;

  std::shared_ptr<spdlog::logger> Find(const std::string& name) {
    std::shared_lock<std::shared_mutex> readLock(lock_);
    auto found = loggers_.find(name);
    return found != loggers_.end() ? found->second : nullptr;
  }

  std::shared_ptr<spdlog::logger> Bind(const std::string& name) {
    std::unique_lock<std::shared_mutex> writeLock(lock_);
    auto found = loggers_.find(name);
    if (found != loggers_.end()) {
      return found->second;
    }
    std::shared_ptr<spdlog::logger> logger = Resolve(name);
    loggers_.emplace(name, logger);
    return logger;
  }

 private:
  // Called under the exclusive lock; takes the registry's lock inside, never the other way round.
  static std::shared_ptr<spdlog::logger> Resolve(const std::string& name) {
    if (std::shared_ptr<spdlog::logger> registered = spdlog::get(name)) {
      return registered;
    }
    for (std::string::size_type dot = name.rfind('.'); dot != std::string::npos;
         dot = dot == 0 ? std::string::npos : name.rfind('.', dot - 1)) {
      if (std::shared_ptr<spdlog::logger> parent = spdlog::get(name.substr(0, dot))) {
        return parent->clone(name);
      }
    }
    // Nothing registered for this name: it shares the registry's default logger, which the
    // library never writes through, so it is switched off for good.
    std::shared_ptr<spdlog::logger> fallback = spdlog::default_logger();
    fallback->set_level(spdlog::level::off);
    return fallback;
  }

  std::shared_mutex lock_;
  std::map<std::string, std::shared_ptr<spdlog::logger>> loggers_;
};

LoggerCache& Cache() {
  static LoggerCache cache;
  return cache;
}

// The cache and the registry (with its default logger and worker pool) are made while the library
// loads, before any object of the host exists, so they are destroyed after the host's last global:
// a host may still log through the library from its own global destructors.
[[maybe_unused]] const bool kCacheMadeAtLoad = (Cache(), true);

}  // namespace

std::shared_ptr<spdlog::logger> GetLogger(const std::string& name) {
  if (std::shared_ptr<spdlog::logger> cached = Cache().Find(name)) {
    return cached;
  }
  return Cache().Bind(name);
}

void WriteLogStatement(const std::string& loggerName, const char* file, int line, const char* function,
                       int level, const std::string& text) {
  if (level < spdlog::level::trace || level >= spdlog::level::off) {
    return;
  }
  // The text is written as it stands: braces in it are the caller's data, not placeholders.
  GetLogger(loggerName)
      ->log(spdlog::source_loc{file, line, function}, static_cast<spdlog::level::level_enum>(level),
            spdlog::string_view_t(text.data(), text.size()));
}

spdlog::logger& LogChannel::Bind() const {
  spdlog::logger& logger = *GetLogger(name_);
  bound_.store(&logger, std::memory_order_release);
  return logger;
}

}  // namespace detail
}  // namespace Melvo

void InitLoggerPlinth(std::vector<std::shared_ptr<spdlog::logger>> loggers,
                      const LoggerThreadPoolSettings& settings) {
  // Held in a local so the host's loggers are released before this returns, even by an exception.
  std::vector<std::shared_ptr<spdlog::logger>> hostLoggers = std::move(loggers);
  for (std::size_t position = 0; position < hostLoggers.size(); ++position) {
    if (!hostLoggers[position]) {
      throw spdlog::spdlog_ex(fmt::format("InitLoggerPlinth: the logger at position {} is null", position));
    }
  }
  // Negative values sign-extend to huge sizes, which spdlog rejects (threads) or cannot allocate.
  spdlog::init_thread_pool(static_cast<std::size_t>(settings.queueSize),
                           static_cast<std::size_t>(settings.threadCount), [] {});
  for (const std::shared_ptr<spdlog::logger>& hostLogger : hostLoggers) {
    spdlog::register_logger(hostLogger->clone(hostLogger->name()));
  }
}
