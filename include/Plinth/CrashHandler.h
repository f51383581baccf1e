/// \file
/// The crash handler: writes a minidump when the process dies of a fault that nothing handled, and
/// tells the observers that hosts register. A host sets up logging and the application information
/// first, then configures the handler, initializes it and adds its observers.
///
/// An observer of the example host:
/// \snippet demo_host.cpp CrashHandler observer
/// and the set-up, after logging and the application information:
/// \snippet demo_host.cpp CrashHandler
#pragma once

#include <Plinth/ApplicationInfo.h>
#include <Plinth/Export.h>
#include <Plinth/Observed.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include <boost/filesystem/path.hpp>

namespace Melvo {

namespace platform {
struct CrashRecord;
}

/// Implemented by hosts that want to hear of a crash, for instance to flush their own logs.
class PLINTH_API ICrashHandlerObserver {
 public:
  ICrashHandlerObserver() = default;
  virtual ~ICrashHandlerObserver();
  /// Called once on the crashing thread, after the dump file has been written and closed. It must
  /// not register or remove observers of the crash handler.
  virtual void OnCrash() = 0;
};

}  // namespace Melvo

/// The crash handler's observer list is compiled once, into the library.
extern template class PLINTH_API
    vorn::Observed<Melvo::ICrashHandlerObserver, std::weak_ptr<Melvo::ICrashHandlerObserver>>;

namespace Melvo {

/// The process-wide crash handler. Observers are held weakly: a host keeps each one alive with its
/// own shared reference for as long as it wants to be told.
class PLINTH_API CrashHandler
    : public vorn::Observed<ICrashHandlerObserver, std::weak_ptr<ICrashHandlerObserver>> {
 public:
  /// Where a crash dump goes and whether one is written at all.
  class PLINTH_API Configuration {
   public:
    /// The defaults are read from the application information each time they are used.
    Configuration(
        const boost::filesystem::path& dumpName = boost::filesystem::path(ApplicationInfo::NormalizedName()),
        const boost::filesystem::path& dumpFolder = ApplicationInfo::DataPath(), bool generateDump = true);

    /// The file name without its ".dmp" extension; one it already has stays in front of it.
    boost::filesystem::path dumpName;
    /// The folder of the dump file. It is not created.
    boost::filesystem::path dumpFolder;
    /// When false, a crash writes no dump and tells no observer.
    bool generateDump;
  };

  /// The one instance, created with the default configuration on the first call.
  static CrashHandler& getInstance();

  CrashHandler(const CrashHandler&) = delete;
  CrashHandler& operator=(const CrashHandler&) = delete;
  ~CrashHandler() override;

  /// Replaces the configuration; always true. Takes no lock: configure before a crash can happen.
  bool configure(const Configuration& configuration);
  /// The configuration in force.
  const Configuration& getConfig() const;

  /// How long the handling of a crash (writing the dump, logging, telling the observers) may take
  /// before the process is ended anyway, so that a crash never leaves a hung process behind: a log
  /// statement blocked on a lock the crashed code held, or an observer that never returns, cannot
  /// keep a supervisor from restarting the service. When the limit passes, the process dies of the
  /// crash's own signal on Linux (killed should that fail) and ends with the exception's code on
  /// Windows. Default 5 seconds; zero or less for no limit. Takes no lock: set it before a crash
  /// can happen.
  void setTimeLimit(std::chrono::milliseconds limit);
  /// The time limit in force.
  std::chrono::milliseconds getTimeLimit() const;

  /// Installs the library's crash filter for the whole process, replacing the one installed before,
  /// and prepares the calling thread as initializeThread does. Always true.
  bool initialize();

  /// Makes sure the filter also runs when the calling thread crashes by exhausting its own stack:
  /// the thread that called initialize has this already, every other thread that should survive a
  /// stack overflow long enough for a dump calls it once. False when the system refused.
  static bool initializeThread();

 private:
  CrashHandler();

  friend std::int32_t CrashHandlerMinidump(platform::CrashRecord* crash);

  Configuration config;
  std::chrono::milliseconds timeLimit;

  static std::mutex s_creationLock;
  static std::shared_ptr<CrashHandler> s_instance;
};

}  // namespace Melvo
