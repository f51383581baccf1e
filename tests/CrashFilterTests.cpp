// The crash handler's filter over a scripted platform: every step, message and result, and the
// order of the platform calls, including the failures this platform never produces by itself.
#include <Plinth/CrashHandler.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/path.hpp>

#include "platform/PlatformCrash.h"
#include "support/LogCapture.h"

namespace Melvo {
std::int32_t CrashHandlerMinidump(platform::CrashRecord* crash);
}

namespace Melvo::platform {

struct CrashRecord {
  int id;
};

}  // namespace Melvo::platform

namespace {

using Melvo::CrashHandler;
using Melvo::platform::CrashFilter;
using Melvo::platform::CrashRecord;
using Melvo::platform::DumpResult;
using Outcome = DumpResult::Outcome;

// What the scripted platform does and what was asked of it.
struct Script {
  DumpResult dump{Outcome::Written, 0};
  bool threadPrepared = true;
  std::int64_t timeLimit = 0;
  CrashFilter installedFilter = nullptr;
  CrashRecord* writtenCrash = nullptr;
  std::vector<std::string> calls;
};
Script script;
// The dump of "host" in "/var/dumps", joined with the platform's own separator.
const std::string kSeparator(1, static_cast<char>(boost::filesystem::path::preferred_separator));
const std::string kDumpPath = "/var/dumps" + kSeparator + "host.dmp";

}  // namespace

namespace Melvo::platform {

void InstallCrashFilter(CrashFilter filter) {
  script.calls.push_back("install");
  script.installedFilter = filter;
}

void SetCrashTimeLimit(std::int64_t milliseconds) {
  script.timeLimit = milliseconds;
}

bool PrepareThreadForCrash() {
  script.calls.push_back("prepare thread");
  return script.threadPrepared;
}

DumpResult WriteCrashDump(const std::string& pathText, CrashRecord* crash) {
  script.calls.push_back("dump to " + pathText);
  script.writtenCrash = crash;
  return script.dump;
}

}  // namespace Melvo::platform

namespace {

class CallRecorder : public Melvo::ICrashHandlerObserver {
 public:
  explicit CallRecorder(std::string name) : name_(std::move(name)) {}
  void OnCrash() override { script.calls.push_back("tell " + name_); }

 private:
  std::string name_;
};

using Calls = std::vector<std::string>;

class CrashFilterTest : public testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { handler.ClearObservers(); }

  // A fresh script and configuration, no observer, nothing logged.
  void Reset() {
    script = Script{};
    handler.ClearObservers();
    handler.configure(CrashHandler::Configuration("host", "/var/dumps", true));
    PlinthTest::LogCapture::Take();
  }

  std::int32_t Crash() { return Melvo::CrashHandlerMinidump(&crash); }

  // The records logged since the last call, a line each, after checking logger and file.
  static std::string Logged() {
    std::string lines;
    for (const PlinthTest::LogRecord& r : PlinthTest::LogCapture::Take()) {
      EXPECT_EQ(r.logger + " " + r.file, "vorn.Plinth.CrashHandler src/CrashHandler");
      lines += std::string(spdlog::level::to_short_c_str(r.level)) + " " + r.function + ": " + r.text + "\n";
    }
    return lines;
  }

  CrashHandler& handler = CrashHandler::getInstance();
  CrashRecord crash{7};
};

const char kEntry[] = "C Melvo::CrashHandlerMinidump: CrashHandlerMinidump Entry\n";

TEST(CrashHandlerInstanceTest, ConcurrentFirstCallsMakeOneInstance) {
  std::vector<CrashHandler*> seen(4, nullptr);
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (CrashHandler*& slot : seen) {
    threads.emplace_back([&go, &slot] {
      while (!go) {
      }
      slot = &CrashHandler::getInstance();
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();
  for (CrashHandler* instance : seen) EXPECT_EQ(instance, &CrashHandler::getInstance());
}

TEST_F(CrashFilterTest, ConfigureReplacesEveryField) {
  EXPECT_TRUE(handler.configure(CrashHandler::Configuration("other.name", "/elsewhere", false)));
  const CrashHandler::Configuration& config = handler.getConfig();
  EXPECT_EQ(config.dumpName, "other.name");
  EXPECT_EQ(config.dumpFolder, "/elsewhere");
  EXPECT_FALSE(config.generateDump);
  EXPECT_TRUE(handler.configure(CrashHandler::Configuration("host", "/var/dumps")));
  EXPECT_TRUE(handler.getConfig().generateDump);
}

TEST_F(CrashFilterTest, InitializeInstallsTheFilterEachTimeItIsCalled) {
  EXPECT_TRUE(handler.initialize());
  EXPECT_TRUE(handler.initialize());
  EXPECT_EQ(script.calls, (Calls{"install", "prepare thread", "install", "prepare thread"}));
  EXPECT_EQ(Logged(),
            "I Melvo::CrashHandler::initialize: CrashHandlerMinidump installed\n"
            "I Melvo::CrashHandler::initialize: CrashHandlerMinidump installed\n");

  // What was installed is the filter itself.
  ASSERT_NE(script.installedFilter, nullptr);
  script.calls.clear();
  EXPECT_EQ(script.installedFilter(&crash), 1);
  EXPECT_EQ(script.writtenCrash, &crash);
  EXPECT_EQ(Logged(),
            std::string(kEntry) + "I Melvo::CrashHandlerMinidump: Saved dump file to '" + kDumpPath + "'\n");
}

TEST_F(CrashFilterTest, TheTimeLimitIsFiveSecondsUntilSetAndGoesToThePlatform) {
  EXPECT_EQ(handler.getTimeLimit(), std::chrono::seconds(5));
  handler.setTimeLimit(std::chrono::milliseconds(250));
  EXPECT_EQ(handler.getTimeLimit(), std::chrono::milliseconds(250));
  EXPECT_EQ(script.timeLimit, 250);
  handler.setTimeLimit(std::chrono::seconds(5));
}

TEST_F(CrashFilterTest, InitializeThreadReportsWhetherThePlatformAgreed) {
  EXPECT_TRUE(CrashHandler::initializeThread());
  script.threadPrepared = false;
  EXPECT_FALSE(CrashHandler::initializeThread());
  EXPECT_EQ(script.calls, (Calls{"prepare thread", "prepare thread"}));
}

TEST_F(CrashFilterTest, AWrittenDumpIsDoneBeforeTheLiveObserversAreTold) {
  auto a = std::make_shared<CallRecorder>("a");
  auto gone = std::make_shared<CallRecorder>("gone");
  auto c = std::make_shared<CallRecorder>("c");
  handler.AddObserver(a);
  handler.AddObserver(gone);
  handler.AddObserver(c);
  gone.reset();

  EXPECT_EQ(Crash(), 1);
  EXPECT_EQ(script.calls, (Calls{"dump to " + kDumpPath, "tell a", "tell c"}));
  EXPECT_EQ(script.writtenCrash, &crash);
  EXPECT_EQ(Logged(),
            std::string(kEntry) + "I Melvo::CrashHandlerMinidump: Saved dump file to '" + kDumpPath + "'\n");
  EXPECT_EQ(handler.GetObservers().size(), 2u);
}

TEST_F(CrashFilterTest, EachFailureIsLoggedAndOnlyATriedDumpTellsTheObservers) {
  struct Case {
    const char* what;
    void (*arrange)();
    Calls calls;
    std::string logged;
    std::int32_t result = 0;
  };
  const std::string filter = "Melvo::CrashHandlerMinidump: ";
  const Case cases[] = {
      {"no dump wanted",
       [] {
         CrashHandler::getInstance().configure(CrashHandler::Configuration("host", "/var/dumps", false));
       },
       {},
       "I " + filter + "Crash handler is configured to NOT generate dump file"},
      {"no dump writer",
       [] {
         script.dump = {Outcome::WriterNotFound, 0};
       },
       {"dump to " + kDumpPath},
       "W " + filter + "DBGHELP.DLL not found"},
      {"an old dump writer",
       [] {
         script.dump = {Outcome::WriterTooOld, 0};
       },
       {"dump to " + kDumpPath},
       "W " + filter + "DBGHELP.DLL too old"},
      {"no file",
       [] {
         script.dump = {Outcome::FileNotCreated, 0};
       },
       {"dump to " + kDumpPath, "tell a"},
       "W " + filter + "Failed to create the file " + kDumpPath},
      {"a dump without every thread",
       [] {
         script.dump = {Outcome::Written, 0};
         script.dump.missingThreads = "tracing was refused";
         script.dump.missingThreadsError = 1;
       },
       {"dump to " + kDumpPath, "tell a"},
       "W " + filter + "Dump file '" + kDumpPath +
           "' lacks threads of the process: tracing was refused (error 1)\n" + "I " + filter +
           "Saved dump file to '" + kDumpPath + "'",
       1},
      // The platform's error code is logged unsigned.
      {"failed write",
       [] {
         script.dump = {Outcome::WriteFailed, 0x80070005};
       },
       {"dump to " + kDumpPath, "tell a"},
       "E " + filter + "Failed to save dump file to '" + kDumpPath + "' (error 2147942405)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    auto a = std::make_shared<CallRecorder>("a");
    handler.AddObserver(a);
    c.arrange();
    EXPECT_EQ(Crash(), c.result);
    EXPECT_EQ(script.calls, c.calls);
    EXPECT_EQ(Logged(), kEntry + c.logged + "\n");
  }
}

TEST_F(CrashFilterTest, TheDumpPathIsTheFolderJoinedWithTheNameAndDmp) {
  struct Case {
    const char* folder;
    const char* name;
    std::string file;
  };
  const Case cases[] = {
      {"/var/dumps", "host", kDumpPath},
      {"/var/dumps/", "host", "/var/dumps/host.dmp"},
      {"/var/dumps", "host.old", "/var/dumps" + kSeparator + "host.old.dmp"},
      {"/var/dumps", "", "/var/dumps.dmp"},
      {"", "host", "host.dmp"},
      {"/var/dumps", "/host", "/var/dumps/host.dmp"},
  };
  for (const Case& c : cases) {
    handler.configure(CrashHandler::Configuration(c.name, c.folder));
    script.calls.clear();
    EXPECT_EQ(Crash(), 1);
    EXPECT_EQ(script.calls, Calls{"dump to " + c.file}) << c.folder << " + " << c.name;
  }
}

}  // namespace
