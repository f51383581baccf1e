// Real crashes of a host on Windows, in child processes: the child sets up logging and the crash
// handler as a host does, then faults. The unhandled-exception filter must leave a minidump written
// by DbgHelp and tell the observers; the parent checks how the child ended, the dump, and what the
// child logged and told its observers, which the child writes to a journal file as it goes.
//
// The child runs this test again from its start (see ChildProcess.h), so the folder it works in is
// handed down through the environment rather than made anew.
#include <Plinth/CrashHandler.h>
#include <Plinth/Logging.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>
#include <boost/filesystem.hpp>

#include <windows.h>

#include "support/ChildProcess.h"
#include "support/MinidumpReader.h"

namespace {

namespace fs = boost::filesystem;
using Melvo::CrashHandler;

constexpr char kFolderVariable[] = "PLINTH_CRASH_TEST_FOLDER";
constexpr std::uint32_t kAccessViolation = 0xC0000005u;
constexpr std::uint32_t kExceptionStream = 6;

// The child's journal: log records and observer calls, a line each, flushed at once so that
// nothing is lost when the process dies.
std::FILE* journal = nullptr;

void Journal(const std::string& line) {
  std::fputs((line + "\n").c_str(), journal);
  std::fflush(journal);
}

class JournalSink : public spdlog::sinks::base_sink<std::mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    Journal(std::string(spdlog::level::to_short_c_str(message.level)) + " " +
            std::string(message.logger_name.begin(), message.logger_name.end()) + " " +
            message.source.filename + " " + message.source.funcname + ": " +
            std::string(message.payload.begin(), message.payload.end()));
  }
  void flush_() override {}
};

fs::path expectedDump;

class JournalingObserver : public Melvo::ICrashHandlerObserver {
 public:
  explicit JournalingObserver(std::string name) : name_(std::move(name)) {}
  void OnCrash() override {
    // The dump is created shared with no one: while the library holds it, it cannot be opened.
    const bool exists = fs::exists(expectedDump);
    const bool opens = std::ifstream(expectedDump.string()).is_open();
    Journal("observer " + name_ +
            (exists && !opens ? ": dump open"
             : exists         ? ": dump closed"
                              : ": no dump"));
  }

 private:
  std::string name_;
};

int* volatile nowhere = nullptr;
volatile int sink = 0;

__attribute__((noinline)) void CrashHostWritesThroughNull() {
  *nowhere = 1;
  sink = sink + 1;
}

class CrashHandlerTest : public testing::Test {
 protected:
  CrashHandlerTest() {
    if (const char* handedDown = std::getenv(kFolderVariable)) {
      folder = handedDown;
    } else {
      folder = fs::temp_directory_path() / fs::unique_path("plinth-crash-%%%%-%%%%-%%%%");
      fs::create_directories(folder);
      SetEnvironmentVariableA(kFolderVariable, folder.string().c_str());
    }
    dumpFile = folder / "host.dmp";
  }
  ~CrashHandlerTest() override {
    SetEnvironmentVariableA(kFolderVariable, nullptr);
    boost::system::error_code ignored;
    fs::remove_all(folder, ignored);
  }

  // Runs a host in a child that logs to the journal, configures and initializes the crash
  // handler, registers observers a, b and c of which b is gone before the crash, and runs `crash`.
  void RunHost(const std::function<void()>& crash, const CrashHandler::Configuration& configuration) {
    expectedDump = dumpFile;
    status = PlinthTest::RunInChild([&] {
      journal = std::fopen(JournalPath().c_str(), "ab");
      auto logger = std::make_shared<spdlog::logger>("vorn.Plinth", std::make_shared<JournalSink>());
      logger->set_level(spdlog::level::trace);
      InitLoggerPlinth({logger}, LoggerThreadPoolSettings{1024, 1});
      CrashHandler& handler = CrashHandler::getInstance();
      handler.configure(configuration);
      handler.initialize();
      auto a = std::make_shared<JournalingObserver>("a");
      auto b = std::make_shared<JournalingObserver>("b");
      auto c = std::make_shared<JournalingObserver>("c");
      handler.AddObserver(a);
      handler.AddObserver(b);
      handler.AddObserver(c);
      b.reset();
      crash();
      sink = sink + 1;
    });
  }

  std::string JournalPath() const { return (folder / "journal.txt").string(); }

  std::string Journaled() const {
    std::ifstream file(JournalPath(), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::string folderText = folder.string();
    for (std::size_t at; (at = text.find(folderText)) != std::string::npos;)
      text.replace(at, folderText.size(), "@");
    return text;
  }

  void ExpectAccessViolation() const {
    EXPECT_EQ(static_cast<std::uint32_t>(status), kAccessViolation) << PlinthTest::DescribeWaitStatus(status);
  }

  fs::path folder;
  fs::path dumpFile;
  int status = 0;
};

const std::string kInstalled =
    "I vorn.Plinth.CrashHandler src/CrashHandler Melvo::CrashHandler::initialize: CrashHandlerMinidump "
    "installed\n";
const std::string kEntry =
    "C vorn.Plinth.CrashHandler src/CrashHandler Melvo::CrashHandlerMinidump: CrashHandlerMinidump Entry\n";
const std::string kFilter = "vorn.Plinth.CrashHandler src/CrashHandler Melvo::CrashHandlerMinidump: ";
const std::string kSaved = "I " + kFilter + "Saved dump file to '@\\host.dmp'\n";
const std::string kObserversTold = "observer a: dump closed\nobserver c: dump closed\n";

// The dump's exception record: the code and the thread it happened on.
void ExpectDumpOfAccessViolation(const fs::path& dumpFile, DWORD thread) {
  PlinthTest::MinidumpReader dump(dumpFile.string());
  EXPECT_EQ(dump.Bytes(0, 4), "MDMP");
  const std::uint32_t exception = dump.Stream(kExceptionStream).rva;
  EXPECT_EQ(dump.U32(exception), thread);
  EXPECT_EQ(dump.U32(exception + 8), kAccessViolation);
}

TEST_F(CrashHandlerTest, ANullWriteLeavesADbgHelpDumpAndTellsEveryLiveObserverAfterItWasClosed) {
  // The dump of an earlier crash is overwritten.
  std::ofstream(dumpFile.string()) << std::string(4 << 20, 'x');
  const CrashHandler::Configuration writeDump{"host", folder, true};
  RunHost(
      [] {
        std::ofstream(fs::path(expectedDump).replace_extension(".thread").string()) << GetCurrentThreadId();
        CrashHostWritesThroughNull();
      },
      writeDump);
  ExpectAccessViolation();
  EXPECT_EQ(Journaled(), kInstalled + kEntry + kSaved + kObserversTold);
  EXPECT_LT(fs::file_size(dumpFile), 4u << 20);
  std::ifstream threadFile((folder / "host.thread").string());
  DWORD crashingThread = 0;
  threadFile >> crashingThread;
  ExpectDumpOfAccessViolation(dumpFile, crashingThread);
}

TEST_F(CrashHandlerTest, ACrashOnAnotherPreparedThreadLeavesADumpOfThatThread) {
  const CrashHandler::Configuration writeDump{"host", folder, true};
  RunHost(
      [] {
        std::thread worker([] {
          if (!CrashHandler::initializeThread()) std::abort();
          std::ofstream(fs::path(expectedDump).replace_extension(".thread").string()) << GetCurrentThreadId();
          CrashHostWritesThroughNull();
        });
        worker.join();
      },
      writeDump);
  ExpectAccessViolation();
  EXPECT_EQ(Journaled(), kInstalled + kEntry + kSaved + kObserversTold);
  std::ifstream threadFile((folder / "host.thread").string());
  DWORD crashingThread = 0;
  threadFile >> crashingThread;
  ExpectDumpOfAccessViolation(dumpFile, crashingThread);
}

TEST_F(CrashHandlerTest, NoDumpWantedLogsTwoMessagesWritesNothingAndTellsNoOne) {
  RunHost(&CrashHostWritesThroughNull, CrashHandler::Configuration{"host", folder, false});
  ExpectAccessViolation();
  EXPECT_EQ(Journaled(),
            kInstalled + kEntry + "I " + kFilter + "Crash handler is configured to NOT generate dump file\n");
  EXPECT_FALSE(fs::exists(dumpFile));
}

TEST_F(CrashHandlerTest, AFolderThatCannotHoldFilesLogsAWarningAndStillTellsTheObservers) {
  std::ofstream((folder / "plain-file").string()) << "not a folder";
  dumpFile = folder / "plain-file" / "host.dmp";
  RunHost(&CrashHostWritesThroughNull, CrashHandler::Configuration{"host", folder / "plain-file", true});
  ExpectAccessViolation();
  EXPECT_EQ(Journaled(), kInstalled + kEntry + "W " + kFilter +
                             "Failed to create the file @\\plain-file\\host.dmp\n" +
                             "observer a: no dump\nobserver c: no dump\n");
}

}  // namespace
