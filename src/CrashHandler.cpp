#include <Plinth/CrashHandler.h>

#include <string>

#include "LogStatement.h"
#include "platform/PlatformCrash.h"

template class vorn::Observed<Melvo::ICrashHandlerObserver, std::weak_ptr<Melvo::ICrashHandlerObserver>>;

namespace Melvo {
namespace {

const detail::LogChannel kLog{"vorn.Plinth.CrashHandler"};

// The folder joined with the name, and ".dmp" after whatever extension the name has.
boost::filesystem::path DumpPath(const CrashHandler::Configuration& config) {
  boost::filesystem::path dumpPath = config.dumpFolder / config.dumpName;
  dumpPath += ".dmp";
  return dumpPath;
}

}  // namespace

std::int32_t CrashHandlerMinidump(platform::CrashRecord* crash);

ICrashHandlerObserver::~ICrashHandlerObserver() = default;

std::mutex CrashHandler::s_creationLock;
std::shared_ptr<CrashHandler> CrashHandler::s_instance;

CrashHandler::Configuration::Configuration(const boost::filesystem::path& dumpName,
                                           const boost::filesystem::path& dumpFolder, bool generateDump)
    : dumpName(dumpName), dumpFolder(dumpFolder), generateDump(generateDump) {}

CrashHandler::CrashHandler() : timeLimit(platform::kDefaultCrashTimeLimit) {}

CrashHandler::~CrashHandler() = default;

CrashHandler& CrashHandler::getInstance() {
  if (std::shared_ptr<CrashHandler> instance = std::atomic_load(&s_instance)) return *instance;
  std::lock_guard<std::mutex> guard(s_creationLock);
  if (!s_instance) std::atomic_store(&s_instance, std::shared_ptr<CrashHandler>(new CrashHandler()));
  return *s_instance;
}

bool CrashHandler::configure(const Configuration& configuration) {
  config = configuration;
  return true;
}

const CrashHandler::Configuration& CrashHandler::getConfig() const {
  return config;
}

void CrashHandler::setTimeLimit(std::chrono::milliseconds limit) {
  timeLimit = limit;
  platform::SetCrashTimeLimit(limit.count());
}

std::chrono::milliseconds CrashHandler::getTimeLimit() const {
  return timeLimit;
}

bool CrashHandler::initialize() {
  platform::InstallCrashFilter(&CrashHandlerMinidump);
  platform::PrepareThreadForCrash();
  PLINTH_LOG(kLog, spdlog::level::info, "CrashHandlerMinidump installed");
  return true;
}

bool CrashHandler::initializeThread() {
  return platform::PrepareThreadForCrash();
}

// Runs on the crashing thread. Its result tells the platform whether a dump was written (1) or
// whether its own handling of the crash should go on (0).
std::int32_t CrashHandlerMinidump(platform::CrashRecord* crash) {
  PLINTH_LOG(kLog, spdlog::level::critical, "CrashHandlerMinidump Entry");
  CrashHandler& handler = CrashHandler::getInstance();
  const CrashHandler::Configuration config = handler.getConfig();
  if (!config.generateDump) {
    PLINTH_LOG(kLog, spdlog::level::info, "Crash handler is configured to NOT generate dump file");
    return 0;
  }

  using Outcome = platform::DumpResult::Outcome;
  const std::string dumpPathText = DumpPath(config).string();
  const platform::DumpResult dump = platform::WriteCrashDump(dumpPathText, crash);
  if (dump.missingThreads != nullptr) {
    PLINTH_LOG(kLog, spdlog::level::warn, "Dump file '{}' lacks threads of the process: {} (error {})",
               dumpPathText, dump.missingThreads, dump.missingThreadsError);
  }
  switch (dump.outcome) {
    case Outcome::WriterNotFound:
      PLINTH_LOG(kLog, spdlog::level::warn, "DBGHELP.DLL not found");
      return 0;
    case Outcome::WriterTooOld:
      PLINTH_LOG(kLog, spdlog::level::warn, "DBGHELP.DLL too old");
      return 0;
    case Outcome::FileNotCreated:
      PLINTH_LOG(kLog, spdlog::level::warn, "Failed to create the file {}", dumpPathText);
      break;
    case Outcome::WriteFailed:
      PLINTH_LOG(kLog, spdlog::level::err, "Failed to save dump file to '{}' (error {})", dumpPathText,
                 dump.errorCode);
      break;
    case Outcome::Written:
      PLINTH_LOG(kLog, spdlog::level::info, "Saved dump file to '{}'", dumpPathText);
      break;
  }

  handler.NotifyObservers(&ICrashHandlerObserver::OnCrash);
  return dump.outcome == Outcome::Written ? 1 : 0;
}

}  // namespace Melvo
