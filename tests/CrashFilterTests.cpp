// The crash handler's filter over a scripted platform: every outcome's message and result, the
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
  Calls calls;
} script;

}  // namespace

namespace Melvo::platform {

void InstallCrashFilter(CrashFilter) {}

void SetCrashTimeLimit(std::int64_t) {}

bool PrepareThreadForCrash() {
  return true;
}

DumpResult WriteCrashDump(const std::string& pathText, CrashRecord* crash) {
  script.calls.push_back("dump to " + pathText + " of crash " + std::to_string(crash->id));
  return script.dump;
}

}  // namespace Melvo::platform

namespace {

const std::string kDumpPath = (boost::filesystem::path("/var/dumps") / "host.dmp").string();

struct CallRecorder : Melvo::ICrashHandlerObserver {
  void OnCrash() override { script.calls.push_back("tell"); }
};

// The records logged since the last call, "level function: text" a line each.
std::string Logged() {
  std::string lines;
  for (const PlinthTest::LogRecord& r : PlinthTest::LogCapture::Take())
    lines += std::string(spdlog::level::to_short_c_str(r.level)) + " " + r.function + ": " + r.text + "\n";
  return lines;
}

// Each outcome is logged; the live observers are told, after the dump, only when it was tried; the
// filter's result says whether a dump was written.
TEST(CrashFilterTest, EachOutcomeIsLoggedAndOnlyATriedDumpTellsTheObservers) {
  const std::string saved = "I Saved dump file to '" + kDumpPath + "'\n",
                    refused =
                        "W Dump file '" + kDumpPath + "' lacks threads of the process: tracing was refused",
                    // The platform's error code is logged unsigned.
      failed = "E Failed to save dump file to '" + kDumpPath + "' (error 2147942405)\n";
  const Calls toldAll{"dump to " + kDumpPath + " of crash 7", "tell", "tell"};
  const std::tuple<DumpResult, Calls, int, std::string> cases[] = {
      {{Outcome::Written, 0}, toldAll, 1, saved},
      {{}, {}, 0, "I Crash handler is configured to NOT generate dump file\n"},
      {{Outcome::WriterNotFound, 0}, {toldAll[0]}, 0, "W DBGHELP.DLL not found\n"},
      {{Outcome::WriterTooOld, 0}, {toldAll[0]}, 0, "W DBGHELP.DLL too old\n"},
      {{Outcome::FileNotCreated, 0}, toldAll, 0, "W Failed to create the file " + kDumpPath + "\n"},
      {{Outcome::Written, 0, "tracing was refused", 1}, toldAll, 1, refused + " (error 1)\n" + saved},
      {{Outcome::WriteFailed, 0x80070005}, toldAll, 0, failed},
  };
  CrashHandler& handler = CrashHandler::getInstance();
  EXPECT_TRUE(handler.initialize() && handler.getTimeLimit() == std::chrono::seconds(5));
  CrashRecord crash{7};
  for (auto [dump, calls, result, logged] : cases) {
    SCOPED_TRACE(logged);
    script = Script{};
    script.dump = dump;
    handler.configure(CrashHandler::Configuration("host", "/var/dumps", !calls.empty()));
    auto a = std::make_shared<CallRecorder>(), c = std::make_shared<CallRecorder>();
    handler.AddObserver(a);
    handler.AddObserver(c);
    PlinthTest::LogCapture::Take();
    EXPECT_EQ(Melvo::CrashHandlerMinidump(&crash), result);
    EXPECT_EQ(script.calls, calls);
    logged.insert(0, "C CrashHandlerMinidump Entry\n");
    for (std::size_t at = 0; at < logged.size(); at = logged.find('\n', at) + 1)
      logged.insert(at + 2, "Melvo::CrashHandlerMinidump: ");
    EXPECT_EQ(Logged(), logged);
  }
}

}  // namespace
