// Real crashes of a host in forked children: the child sets up logging, the application
// information and the crash handler as a host does, then faults. The parent checks how the child
// died, the dump it left and what it logged and told its observers, which the child writes to a
// file as it goes.
//
// The test process itself never touches the crash handler, the logging or the application
// information, so every child starts from a fresh library and the parent stays single-threaded.
#include <Plinth/ApplicationInfo.h>
#include <Plinth/CrashHandler.h>
#include <Plinth/Logging.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>
#include <boost/filesystem.hpp>
#include <boost/filesystem/fstream.hpp>

#include "support/CrashProcess.h"
#include "support/MinidumpReader.h"
#include "support/TempFolder.h"

namespace {

using Melvo::CrashHandler;

// The child's journal: log records and observer calls, a line each, written straight to the file
// so that nothing is lost when the process dies.
int journal = -1;

void Journal(const std::string& line) {
  const std::string text = line + "\n";
  if (write(journal, text.data(), text.size()) < 0) std::abort();
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

// Whether this process still has a descriptor open on `path`.
bool IsOpen(const boost::filesystem::path& path) {
  DIR* descriptors = opendir("/proc/self/fd");
  bool open = false;
  while (dirent* entry = readdir(descriptors)) {
    boost::system::error_code error;
    const auto target = boost::filesystem::read_symlink(std::string("/proc/self/fd/") + entry->d_name, error);
    open = open || (!error && target == path);
  }
  closedir(descriptors);
  return open;
}

boost::filesystem::path expectedDump;

class JournalingObserver : public Melvo::ICrashHandlerObserver {
 public:
  explicit JournalingObserver(std::string name) : name_(std::move(name)) {}
  void OnCrash() override {
    boost::system::error_code error;
    const bool written = boost::filesystem::file_size(expectedDump, error) > 0 && !error;
    Journal("observer " + name_ +
            (IsOpen(expectedDump) ? ": dump open"
             : written            ? ": dump closed"
                                  : ": no dump"));
  }

 private:
  std::string name_;
};

int* volatile nowhere = nullptr;
volatile int stopDepth = -1;
volatile int sink = 0;

__attribute__((noinline)) void CrashHostWritesThroughNull() {
  *nowhere = 1;
  sink = sink + 1;
}

__attribute__((noinline)) int CrashHostRecurses(int depth) {
  volatile char frame[256];
  frame[depth % sizeof frame] = static_cast<char>(depth);
  if (depth == stopDepth) return frame[0];
  const int below = CrashHostRecurses(depth + 1);
  return below + frame[depth % sizeof frame];
}

class CrashHandlerTest : public testing::Test {
 protected:
  // Forks a host that logs to the journal, runs `setUp`, configures the crash handler (unless
  // `configuration` is null), initializes it, registers observers a, b and c of which b is gone
  // before the crash, and runs `crash`.
  void RunHost(
      const std::function<void()>& crash, const CrashHandler::Configuration* configuration,
      const std::function<void()>& setUp = [] {}) {
    expectedDump = dumpFile;
    journal = open(journalPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(journal, 0);
    status = PlinthTest::RunInChild(
        [&] {
          auto logger = std::make_shared<spdlog::logger>("vorn.Plinth", std::make_shared<JournalSink>());
          logger->set_level(spdlog::level::trace);
          InitLoggerPlinth({logger}, LoggerThreadPoolSettings{1024, 1});
          setUp();
          CrashHandler& handler = CrashHandler::getInstance();
          if (configuration != nullptr) handler.configure(*configuration);
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
        },
        &child);
    close(journal);
  }

  std::string Journaled() const {
    std::string text = PlinthTest::ReadTextFile(journalPath);
    const std::string folderText = folder.Path().string();
    for (std::size_t at; (at = text.find(folderText)) != std::string::npos;)
      text.replace(at, folderText.size(), "@");
    return text;
  }

  void ExpectDeathBy(int signal) const {
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << PlinthTest::DescribeWaitStatus(status);
  }

  std::vector<std::string> FolderContent() const {
    std::vector<std::string> names;
    for (const auto& entry : boost::filesystem::directory_iterator(folder.Path())) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  PlinthTest::TempFolder folder;
  const std::string journalPath = (folder / "journal.txt").string();
  boost::filesystem::path dumpFile = folder / "host.dmp";
  const CrashHandler::Configuration writeDump{"host", folder.Path(), true};
  int status = 0;
  int child = 0;
};

const std::string kInstalled =
    "I vorn.Plinth.CrashHandler src/CrashHandler Melvo::CrashHandler::initialize: CrashHandlerMinidump "
    "installed\n";
const std::string kEntry =
    "C vorn.Plinth.CrashHandler src/CrashHandler Melvo::CrashHandlerMinidump: CrashHandlerMinidump Entry\n";
const std::string kFilter = "vorn.Plinth.CrashHandler src/CrashHandler Melvo::CrashHandlerMinidump: ";
const std::string kObserversTold = "observer a: dump closed\nobserver c: dump closed\n";

TEST_F(CrashHandlerTest, ANullWriteLeavesADumpAndTellsEveryLiveObserverOnceAfterItWasClosed) {
  // The dump of an earlier crash is overwritten.
  boost::filesystem::ofstream(dumpFile) << std::string(4 << 20, 'x');
  RunHost(&CrashHostWritesThroughNull, &writeDump);
  ExpectDeathBy(SIGSEGV);
  EXPECT_EQ(Journaled(),
            kInstalled + kEntry + "I " + kFilter + "Saved dump file to '@/host.dmp'\n" + kObserversTold);
  EXPECT_EQ(FolderContent(), (std::vector<std::string>{"host.dmp", "journal.txt"}));
  EXPECT_LT(boost::filesystem::file_size(dumpFile), 4u << 20);

  PlinthTest::MinidumpReader dump(dumpFile.string());
  EXPECT_EQ(dump.U32(dump.Stream(6).rva + 8), static_cast<std::uint32_t>(SIGSEGV));
  const std::string backtrace = PlinthTest::LldbBacktrace(dumpFile.string());
  const std::size_t innermost = backtrace.find("frame #0: ");
  ASSERT_NE(innermost, std::string::npos) << backtrace;
  EXPECT_NE(backtrace.substr(innermost, backtrace.find('\n', innermost) - innermost)
                .find("CrashHostWritesThroughNull"),
            std::string::npos)
      << backtrace;
}

TEST_F(CrashHandlerTest, AnAbortLeavesADumpAndStillEndsTheProcessWithSigabrt) {
  RunHost([] { std::abort(); }, &writeDump);
  ExpectDeathBy(SIGABRT);
  EXPECT_EQ(Journaled(),
            kInstalled + kEntry + "I " + kFilter + "Saved dump file to '@/host.dmp'\n" + kObserversTold);
  PlinthTest::MinidumpReader dump(dumpFile.string());
  EXPECT_EQ(dump.U32(dump.Stream(6).rva + 8), static_cast<std::uint32_t>(SIGABRT));
  // A dump holds the process's memory: for its owner's eyes only.
  EXPECT_EQ(boost::filesystem::status(dumpFile).permissions(),
            boost::filesystem::owner_read | boost::filesystem::owner_write);
}

TEST_F(CrashHandlerTest, AStackOverflowOfTheInitializingThreadLeavesADump) {
  RunHost([] { sink = CrashHostRecurses(0); }, &writeDump);
  ExpectDeathBy(SIGSEGV);
  EXPECT_EQ(Journaled(),
            kInstalled + kEntry + "I " + kFilter + "Saved dump file to '@/host.dmp'\n" + kObserversTold);
  EXPECT_TRUE(boost::filesystem::exists(dumpFile));
}

TEST_F(CrashHandlerTest, AStackOverflowOfAnotherPreparedThreadLeavesADump) {
  RunHost(
      [] {
        std::thread worker([] {
          if (!CrashHandler::initializeThread()) std::abort();
          sink = CrashHostRecurses(0);
        });
        worker.join();
      },
      &writeDump);
  ExpectDeathBy(SIGSEGV);
  EXPECT_EQ(Journaled(),
            kInstalled + kEntry + "I " + kFilter + "Saved dump file to '@/host.dmp'\n" + kObserversTold);
  PlinthTest::MinidumpReader dump(dumpFile.string());
  EXPECT_NE(dump.U32(dump.Stream(6).rva), static_cast<std::uint32_t>(child));
}

TEST_F(CrashHandlerTest, NoDumpWantedLogsTwoMessagesWritesNothingAndTellsNoOne) {
  const CrashHandler::Configuration noDump{"host", folder.Path(), false};
  RunHost(&CrashHostWritesThroughNull, &noDump);
  ExpectDeathBy(SIGSEGV);
  EXPECT_EQ(Journaled(),
            kInstalled + kEntry + "I " + kFilter + "Crash handler is configured to NOT generate dump file\n");
  EXPECT_EQ(FolderContent(), (std::vector<std::string>{"journal.txt"}));
}

TEST_F(CrashHandlerTest, AFolderThatCannotHoldFilesLogsAWarningAndStillTellsTheObservers) {
  // Even root cannot create a file below a regular file.
  boost::filesystem::ofstream(folder / "plain-file") << "not a folder";
  dumpFile = folder / "plain-file" / "host.dmp";
  const CrashHandler::Configuration unwritable{"host", folder / "plain-file", true};
  RunHost(&CrashHostWritesThroughNull, &unwritable);
  ExpectDeathBy(SIGSEGV);
  EXPECT_EQ(Journaled(), kInstalled + kEntry + "W " + kFilter +
                             "Failed to create the file @/plain-file/host.dmp\n" +
                             "observer a: no dump\nobserver c: no dump\n");
  EXPECT_EQ(FolderContent(), (std::vector<std::string>{"journal.txt", "plain-file"}));
}

TEST_F(CrashHandlerTest, AFailedWriteLogsTheErrorNumberKeepsThePartialFileAndTellsTheObservers) {
  RunHost(
      [] {
        // Files may grow to 4 KiB only; beyond that a write fails with EFBIG instead of a signal.
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        CrashHostWritesThroughNull();
      },
      &writeDump);
  ExpectDeathBy(SIGSEGV);
  EXPECT_EQ(Journaled(), kInstalled + kEntry + "E " + kFilter +
                             "Failed to save dump file to '@/host.dmp' (error " + std::to_string(EFBIG) +
                             ")\n" + kObserversTold);
  EXPECT_EQ(boost::filesystem::file_size(dumpFile), 4096u);
}

TEST_F(CrashHandlerTest, TheDefaultDumpIsTheNormalizedNameInTheDataFolder) {
  // The executable's folder is the data folder of a program without organization; the pid keeps
  // the name apart from parallel runs.
  const boost::filesystem::path executableFolder =
      boost::filesystem::read_symlink("/proc/self/exe").parent_path();
  RunHost(&CrashHostWritesThroughNull, nullptr, [] {
    const std::string name = "Crash Host " + std::to_string(getpid());
    const char* argv[] = {"CrashHandlerTests", "-x"};
    Melvo::ApplicationInfo::Init(name, "", "", "1.0", "", Melvo::DataFolderType::ExecutableFolder, 2, argv);
    expectedDump = Melvo::ApplicationInfo::DataPath() / ("CrashHost" + std::to_string(getpid()) + ".dmp");
  });
  const boost::filesystem::path defaultDump =
      executableFolder / ("CrashHost" + std::to_string(child) + ".dmp");
  const bool written = boost::filesystem::exists(defaultDump);
  boost::filesystem::remove(defaultDump);
  ExpectDeathBy(SIGSEGV);
  EXPECT_TRUE(written) << defaultDump;
  EXPECT_EQ(Journaled(), kInstalled + kEntry + "I " + kFilter + "Saved dump file to '" +
                             defaultDump.string() + "'\n" + kObserversTold);
}

}  // namespace
