// The crash handler's filter over a scripted platform: every step, message and result, and the
// order of the platform calls, including the failures this platform never produces by itself.
#include <Plinth/CrashHandler.h>

#include <memory>
#include <string>
#include <tuple>
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
using Melvo::platform::CrashRecord;
using Melvo::platform::DumpResult;
using Outcome = DumpResult::Outcome;
using Calls = std::vector<std::string>;

// What the scripted platform does and what was asked of it.
struct Script {
  DumpResult dump{Outcome::Written, 0};
  bool threadPrepared = true;
  std::int64_t timeLimit = 0;
  Melvo::platform::CrashFilter installedFilter = nullptr;
  CrashRecord* writtenCrash = nullptr;
  Calls calls;
} script;

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

// The dump of "host" in "/var/dumps", joined with the platform's own separator.
const std::string kSeparator(1, static_cast<char>(boost::filesystem::path::preferred_separator));
const std::string kDumpPath = "/var/dumps" + kSeparator + "host.dmp";
const std::string kFilter = "Melvo::CrashHandlerMinidump: ";

class CallRecorder : public Melvo::ICrashHandlerObserver {
 public:
  explicit CallRecorder(std::string name) : name_(std::move(name)) {}
  void OnCrash() override { script.calls.push_back("tell " + name_); }

 private:
  std::string name_;
};

class CrashFilterTest : public testing::Test {
 protected:
  void SetUp() override { Reset(true); }
  void TearDown() override { handler.ClearObservers(); }

  // A fresh script and configuration, no observer, nothing logged.
  void Reset(bool generateDump) {
    script = Script{};
    handler.ClearObservers();
    EXPECT_TRUE(handler.configure(CrashHandler::Configuration("host", "/var/dumps", generateDump)));
    PlinthTest::LogCapture::Take();
  }

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

TEST_F(CrashFilterTest, InitializeInstallsTheFilterAndPreparesTheThreadEachTime) {
  EXPECT_TRUE(handler.initialize());
  script.threadPrepared = false;
  EXPECT_TRUE(handler.initialize());
  EXPECT_EQ(script.calls, (Calls{"install", "prepare thread", "install", "prepare thread"}));
  EXPECT_EQ(script.installedFilter, &Melvo::CrashHandlerMinidump);
  EXPECT_EQ(Logged(),
            "I Melvo::CrashHandler::initialize: CrashHandlerMinidump installed\n"
            "I Melvo::CrashHandler::initialize: CrashHandlerMinidump installed\n");
  // The host's other threads hear the platform's answer.
  EXPECT_FALSE(CrashHandler::initializeThread());
  script.threadPrepared = true;
  EXPECT_TRUE(CrashHandler::initializeThread());
}

TEST_F(CrashFilterTest, TheTimeLimitIsFiveSecondsUntilSetAndGoesToThePlatform) {
  EXPECT_EQ(handler.getTimeLimit(), std::chrono::seconds(5));
  handler.setTimeLimit(std::chrono::milliseconds(250));
  EXPECT_EQ(handler.getTimeLimit(), std::chrono::milliseconds(250));
  EXPECT_EQ(script.timeLimit, 250);
  handler.setTimeLimit(std::chrono::seconds(5));
}

// Each outcome is logged; the live observers are told, after the dump, only when it was tried; the
// filter's result says whether a dump was written.
TEST_F(CrashFilterTest, EachOutcomeIsLoggedAndOnlyATriedDumpTellsTheObservers) {
  const std::string dumpTo = "dump to " + kDumpPath, saved = "I Saved dump file to '" + kDumpPath + "'\n";
  const Calls toldAll{dumpTo, "tell a", "tell c"};
  const std::tuple<const char*, DumpResult, Calls, int, std::string> cases[] = {
      {"a written dump", {Outcome::Written, 0}, toldAll, 1, saved},
      {"no dump wanted", {}, {}, 0, "I Crash handler is configured to NOT generate dump file\n"},
      {"no dump writer", {Outcome::WriterNotFound, 0}, {dumpTo}, 0, "W DBGHELP.DLL not found\n"},
      {"an old dump writer", {Outcome::WriterTooOld, 0}, {dumpTo}, 0, "W DBGHELP.DLL too old\n"},
      {"no file",
       {Outcome::FileNotCreated, 0},
       toldAll,
       0,
       "W Failed to create the file " + kDumpPath + "\n"},
      {"a dump without every thread",
       {Outcome::Written, 0, "tracing was refused", 1},
       toldAll,
       1,
       "W Dump file '" + kDumpPath + "' lacks threads of the process: tracing was refused (error 1)\n" +
           saved},
      // The platform's error code is logged unsigned.
      {"a failed write",
       {Outcome::WriteFailed, 0x80070005},
       toldAll,
       0,
       "E Failed to save dump file to '" + kDumpPath + "' (error 2147942405)\n"},
  };
  for (auto [what, dump, calls, result, logged] : cases) {
    SCOPED_TRACE(what);
    Reset(!calls.empty());
    script.dump = dump;
    auto a = std::make_shared<CallRecorder>("a"), gone = std::make_shared<CallRecorder>("gone"),
         c = std::make_shared<CallRecorder>("c");
    for (const auto& observer : {a, gone, c}) handler.AddObserver(observer);
    gone.reset();
    EXPECT_EQ(Melvo::CrashHandlerMinidump(&crash), result);
    EXPECT_EQ(script.calls, calls);
    EXPECT_EQ(script.writtenCrash, calls.empty() ? nullptr : &crash);
    // Every message is the filter's: "level function: text".
    logged.insert(0, "C CrashHandlerMinidump Entry\n");
    for (std::size_t at = 0; at < logged.size(); at = logged.find('\n', at) + 1)
      logged.insert(at + 2, kFilter);
    EXPECT_EQ(Logged(), logged);
  }
}

TEST_F(CrashFilterTest, TheDumpPathIsTheFolderJoinedWithTheNameAndDmp) {
  const std::tuple<const char*, const char*, std::string> cases[] = {
      {"/var/dumps", "host", kDumpPath},
      {"/var/dumps/", "host", "/var/dumps/host.dmp"},
      {"/var/dumps", "host.old", "/var/dumps" + kSeparator + "host.old.dmp"},
      {"/var/dumps", "", "/var/dumps.dmp"},
      {"", "host", "host.dmp"},
      {"/var/dumps", "/host", "/var/dumps/host.dmp"},
  };
  for (const auto& [folder, name, file] : cases) {
    handler.configure(CrashHandler::Configuration(name, folder));
    script.calls.clear();
    EXPECT_EQ(Melvo::CrashHandlerMinidump(&crash), 1);
    EXPECT_EQ(script.calls, Calls{"dump to " + file}) << folder << " + " << name;
  }
}

}  // namespace
