/// \file
/// Logging set-up for hosts: the one call that hands the host's spdlog loggers to the library,
/// and the vocabulary constants a host may use for its own logging configuration.
///
/// The library writes every message through named loggers of a registry of its own, separate from
/// the host's. A host calls InitLoggerPlinth once, before any other part of the library: a logger
/// name looked up earlier stays bound to the switched-off default logger for good.
///
/// The first thing the example host does: its console logger, and a clone for its own messages, go
/// to the library:
/// \snippet demo_host.cpp Logging
#pragma once

#include <Plinth/Export.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <spdlog/logger.h>

/// Settings of the worker pool that serves asynchronous loggers of the library's registry.
struct LoggerThreadPoolSettings {
  std::int32_t queueSize;    ///< capacity of the pool's queue, in messages
  std::int32_t threadCount;  ///< worker threads, 1 to 1000
};

/// Registers a clone of each logger under its own name in the library's registry, after replacing
/// the registry's worker pool. Throws spdlog::spdlog_ex, before anything changes, for a null logger
/// (naming its position in the vector). Throws spdlog::spdlog_ex for a thread count outside 1 to 1000 (the
/// earlier pool stays) or for a name registered already (the pool is replaced, the loggers before
/// it in the vector stay registered).
extern "C" PLINTH_API void InitLoggerPlinth(std::vector<std::shared_ptr<spdlog::logger>> loggers,
                                            const LoggerThreadPoolSettings& settings);

namespace Melvo {

/// File-name suffix of a host's logging configuration file.
PLINTH_API extern const std::string LogConfigSuffix;
/// Level names of such a configuration, mapped to spdlog level numbers ("warning" is 3).
PLINTH_API extern const std::map<std::string, int> LogLevelNames;
/// Sink-type names of such a configuration, numbered from 1.
PLINTH_API extern const std::map<std::string, int> LogSinkTypes;
/// The maker's organisation name.
PLINTH_API extern const std::string OrganizationName;

}  // namespace Melvo
