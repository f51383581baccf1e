// Real crashes of a host in child processes: the child sets up logging, the application
// information and the crash handler as a host does, then faults. The parent checks how the child
// ended, the dump it left and what it logged and told its observers, which the child writes to a
// journal file as it goes.
//
// The test process itself never touches the crash handler, the logging or the application
// information, so every child starts from a fresh library and the parent stays single-threaded.
// On Windows the child runs this test again from its start (see ChildProcess.h), so the folder it
// works in is handed down through the environment rather than made anew.
#include <Plinth/ApplicationInfo.h>
#include <Plinth/CrashHandler.h>
#include <Plinth/Logging.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>
#include <boost/filesystem.hpp>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <csignal>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "support/ChildProcess.h"
#include "support/MinidumpReader.h"

namespace {

namespace fs = boost::filesystem;
using Melvo::CrashHandler;

constexpr std::uint32_t kExceptionStream = 6;

// What differs between the platforms: how a crash ends the process, the code its dump records,
// the thread and process numbers, and whether this process holds a file open.
#ifdef _WIN32
constexpr int kNullWriteEnd = static_cast<int>(0xC0000005u);
constexpr std::uint32_t kNullWriteCode = 0xC0000005u;

int OpenJournalFile(const std::string& path) {
  return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY, _S_IREAD | _S_IWRITE);
}
bool WriteJournalFile(int file, const std::string& text) {
  return _write(file, text.data(), static_cast<unsigned>(text.size())) == static_cast<int>(text.size());
}

bool EndedAs(int status, int end) {
  return status == end;
}
std::uint32_t CurrentThreadId() {
  return GetCurrentThreadId();
}
int CurrentProcessId() {
  return static_cast<int>(GetCurrentProcessId());
}
fs::path ExecutableFolder() {
  char program[MAX_PATH];
  return fs::path(std::string(program, GetModuleFileNameA(nullptr, program, MAX_PATH))).parent_path();
}
// The dump is created shared with no one: while the library holds it, it cannot be opened.
bool IsOpen(const fs::path& path) {
  return fs::exists(path) && !std::ifstream(path.string()).is_open();
}
#else
constexpr int kNullWriteEnd = SIGSEGV;
constexpr std::uint32_t kNullWriteCode = SIGSEGV;

int OpenJournalFile(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
}
bool WriteJournalFile(int file, const std::string& text) {
  return write(file, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool EndedAs(int status, int signal) {
  return WIFSIGNALED(status) && WTERMSIG(status) == signal;
}
std::uint32_t CurrentThreadId() {
  return static_cast<std::uint32_t>(syscall(SYS_gettid));
}
int CurrentProcessId() {
  return getpid();
}
fs::path ExecutableFolder() {
  return fs::read_symlink("/proc/self/exe").parent_path();
}
bool IsOpen(const fs::path& path) {
  DIR* descriptors = opendir("/proc/self/fd");
  bool open = false;
  while (dirent* entry = readdir(descriptors)) {
    boost::system::error_code error;
    const auto target = fs::read_symlink(std::string("/proc/self/fd/") + entry->d_name, error);
    open = open || (!error && target == path);
  }
  closedir(descriptors);
  return open;
}
#endif

// The child's journal: log records and observer calls, a line each, written straight to the file
// so that nothing is lost when the process dies. Plain descriptor writes are safe in the signal
// handler that tells the observers on POSIX.
int journal = -1;

void Journal(const std::string& line) {
  if (!WriteJournalFile(journal, line + "\n")) std::abort();
}

int* volatile nowhere = nullptr;
// Set by a host that crashes inside the sink, while the sink holds its lock.
volatile bool crashInSink = false;
// The logger the host hands the library.
std::shared_ptr<spdlog::logger> hostLogger;

class JournalSink : public spdlog::sinks::base_sink<std::mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    if (crashInSink) *nowhere = 1;
    Journal(std::string(spdlog::level::to_short_c_str(message.level)) + " " +
            std::string(message.logger_name.begin(), message.logger_name.end()) + " " +
            message.source.filename + " " + message.source.funcname + ": " +
            std::string(message.payload.begin(), message.payload.end()));
  }
  void flush_() override {}
};

// Where the child expects its dump, and where it notes the number of the thread that crashes.
fs::path expectedDump;
fs::path crashingThreadFile;

class JournalingObserver : public Melvo::ICrashHandlerObserver {
 public:
  explicit JournalingObserver(std::string name) : name_(std::move(name)) {}
  void OnCrash() override {
    boost::system::error_code error;
    const bool written = fs::file_size(expectedDump, error) > 0 && !error;
    Journal("observer " + name_ +
            (IsOpen(expectedDump) ? ": dump open"
             : written            ? ": dump closed"
                                  : ": no dump"));
  }

 private:
  std::string name_;
};

volatile int sink = 0;

void NoteCrashingThread() {
  std::ofstream(crashingThreadFile.string()) << CurrentThreadId();
}

__attribute__((noinline)) void CrashHostWritesThroughNull() {
  NoteCrashingThread();
  *nowhere = 1;
  sink = sink + 1;
}

#ifndef _WIN32
volatile int stopDepth = -1;

__attribute__((noinline)) int CrashHostRecurses(int depth) {
  volatile char frame[256];
  frame[depth % sizeof frame] = static_cast<char>(depth);
  if (depth == stopDepth) return frame[0];
  const int below = CrashHostRecurses(depth + 1);
  return below + frame[depth % sizeof frame];
}

void CrashHostOverflowsItsStack() {
  NoteCrashingThread();
  sink = CrashHostRecurses(0);
}
#endif

// Runs `crash` on a thread the host started and prepared for crashes.
void OnAPreparedThread(void (*crash)()) {
  std::thread worker([crash] {
    if (!CrashHandler::initializeThread()) std::abort();
    crash();
  });
  worker.join();
}

// The test's folder. A Windows child finds its parent's in the environment.
constexpr char kFolderVariable[] = "PLINTH_CRASH_TEST_FOLDER";

fs::path MakeOrFindFolder() {
  if (const char* handedDown = std::getenv(kFolderVariable)) return handedDown;
  const fs::path folder = fs::temp_directory_path() / fs::unique_path("plinth-crash-%%%%-%%%%-%%%%");
  fs::create_directories(folder);
#ifdef _WIN32
  SetEnvironmentVariableA(kFolderVariable, folder.string().c_str());
#endif
  return folder;
}

class CrashHandlerTest : public testing::Test {
 protected:
  ~CrashHandlerTest() override {
#ifdef _WIN32
    SetEnvironmentVariableA(kFolderVariable, nullptr);
#endif
    boost::system::error_code ignored;
    fs::remove_all(folder, ignored);
  }

  // Runs a host in a child that logs to the journal, runs `setUp`, configures the crash handler
  // (unless `configuration` is null) with `timeLimit` (ample by default, for a slow machine or
  // Windows under wine), initializes it, registers observers a, b and c of which b is gone before
  // the crash, and runs `crash`.
  void RunHost(
      const std::function<void()>& crash, const CrashHandler::Configuration* configuration,
      const std::function<void()>& setUp = [] {},
      std::chrono::milliseconds timeLimit = std::chrono::minutes(1)) {
    expectedDump = dumpFile;
    crashingThreadFile = folder / "thread.txt";
    status = PlinthTest::RunInChild(
        [&] {
          journal = OpenJournalFile(JournalPath());
          if (journal < 0) std::abort();
          auto logger = std::make_shared<spdlog::logger>("vorn.Plinth", std::make_shared<JournalSink>());
          logger->set_level(spdlog::level::trace);
          hostLogger = logger;
          InitLoggerPlinth({logger}, LoggerThreadPoolSettings{1024, 1});
          setUp();
          CrashHandler& handler = CrashHandler::getInstance();
          handler.setTimeLimit(timeLimit);
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
  }

  std::string JournalPath() const {
    return (folder / "journal.txt").string();
  }

  // The journal with the test's folder written as "@".
  std::string Journaled() const {
    std::ifstream file(JournalPath(), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::string folderText = folder.string();
    for (std::size_t at; (at = text.find(folderText)) != std::string::npos;)
      text.replace(at, folderText.size(), "@");
    return text;
  }

  std::uint32_t CrashingThread() const {
    std::uint32_t thread = 0;
    std::ifstream(crashingThreadFile.string()) >> thread;
    return thread;
  }

  std::vector<std::string> FolderContent() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  const fs::path folder = MakeOrFindFolder();
  fs::path dumpFile = folder / "host.dmp";
  const CrashHandler::Configuration writeDump{"host", folder, true};
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

// The folder and the dump as the journal shows them, with the platform's separator.
std::string InFolder(const fs::path& name) {
  return (fs::path("@") / name).string();
}
const std::string kSaved = "I " + kFilter + "Saved dump file to '" + InFolder("host.dmp") + "'\n";

struct CrashKind {
  const char* name;
  void (*crash)();
  int end;
  std::uint32_t code;
};

void PrintTo(const CrashKind& kind, std::ostream* out) {
  *out << kind.name;
}

class CrashKindTest : public CrashHandlerTest, public testing::WithParamInterface<CrashKind> {};

// Every live observer is told once, after the dump was closed; an earlier crash's dump is replaced.
TEST_P(CrashKindTest, ReplacesTheDumpWithOneOfItsThreadAndTellsTheObservers) {
  std::ofstream(dumpFile.string()) << std::string(4 << 20, 'x');
  RunHost(GetParam().crash, &writeDump);
  EXPECT_TRUE(EndedAs(status, GetParam().end)) << PlinthTest::DescribeWaitStatus(status);
  EXPECT_EQ(Journaled(), kInstalled + kEntry + kSaved + kObserversTold);
  EXPECT_EQ(FolderContent(), (std::vector<std::string>{"host.dmp", "journal.txt", "thread.txt"}));
  EXPECT_LT(fs::file_size(dumpFile), 4u << 20);
  PlinthTest::MinidumpReader dump(dumpFile.string());
  const std::uint32_t exception = dump.Stream(kExceptionStream).rva;
  EXPECT_EQ(dump.U32(exception), CrashingThread());
  EXPECT_EQ(dump.U32(exception + 8), GetParam().code);
#ifndef _WIN32
  // A dump holds the process's memory: for its owner's eyes only.
  EXPECT_EQ(fs::status(dumpFile).permissions(), fs::owner_read | fs::owner_write);
#endif
}

const CrashKind kCrashKinds[] = {
    {"NullWrite", &CrashHostWritesThroughNull, kNullWriteEnd, kNullWriteCode},
    {"NullWriteOnAnotherThread", [] { OnAPreparedThread(&CrashHostWritesThroughNull); }, kNullWriteEnd,
     kNullWriteCode},
#ifndef _WIN32
    // Wine never hands a stack overflow to the unhandled-exception filter (the main thread hangs,
    // another thread just ends), so the Windows build cannot test it here.
    {"StackOverflow", &CrashHostOverflowsItsStack, SIGSEGV, SIGSEGV},
    {"StackOverflowOnAnotherThread", [] { OnAPreparedThread(&CrashHostOverflowsItsStack); }, SIGSEGV,
     SIGSEGV},
    {"Abort",
     [] {
       NoteCrashingThread();
       std::abort();
     },
     SIGABRT, SIGABRT},
#endif
};
INSTANTIATE_TEST_SUITE_P(Crashes, CrashKindTest, testing::ValuesIn(kCrashKinds),
                         [](const testing::TestParamInfo<CrashKind>& kind) {
                           return std::string(kind.param.name);
                         });

// Handling that hangs, in an observer that never returns or on the lock of a log sink the crashed
// code held, still ends the process within the time limit, as the crash itself would have.
TEST_F(CrashHandlerTest, HandlingThatHangsEndsWithinTheTimeLimit) {
  static std::shared_ptr<Melvo::ICrashHandlerObserver> neverReturns;
  struct Stuck : Melvo::ICrashHandlerObserver {
    void OnCrash() override { std::this_thread::sleep_for(std::chrono::hours(1)); }
  };
  void (*const hangs[])() = {[] {
                               neverReturns = std::make_shared<Stuck>();
                               CrashHandler::getInstance().AddObserver(neverReturns);
                               CrashHostWritesThroughNull();
                             },
                             [] {
                               NoteCrashingThread();
                               crashInSink = true;
                               hostLogger->info("the sink crashes");
                             }};
  for (void (*const hang)() : hangs) {
    const auto start = std::chrono::steady_clock::now();
    RunHost(
        hang, &writeDump, [] {}, std::chrono::milliseconds(500));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer may hold the time limit's signal back while the thread waits: the kill ends it.
    EXPECT_TRUE(EndedAs(status, kNullWriteEnd) || EndedAs(status, SIGKILL))
        << PlinthTest::DescribeWaitStatus(status);
#else
    EXPECT_TRUE(EndedAs(status, kNullWriteEnd)) << PlinthTest::DescribeWaitStatus(status);
#endif
  }
}

TEST_F(CrashHandlerTest, NoDumpWantedLogsTwoMessagesWritesNothingAndTellsNoOne) {
  const CrashHandler::Configuration noDump{"host", folder, false};
  RunHost(&CrashHostWritesThroughNull, &noDump);
  EXPECT_TRUE(EndedAs(status, kNullWriteEnd)) << PlinthTest::DescribeWaitStatus(status);
  EXPECT_EQ(Journaled(),
            kInstalled + kEntry + "I " + kFilter + "Crash handler is configured to NOT generate dump file\n");
  EXPECT_EQ(FolderContent(), (std::vector<std::string>{"journal.txt", "thread.txt"}));
}

TEST_F(CrashHandlerTest, AFolderThatCannotHoldFilesLogsAWarningAndStillTellsTheObservers) {
  // Nobody can create a file below a regular file.
  std::ofstream((folder / "plain-file").string()) << "not a folder";
  dumpFile = folder / "plain-file" / "host.dmp";
  const CrashHandler::Configuration unwritable{"host", folder / "plain-file", true};
  RunHost(&CrashHostWritesThroughNull, &unwritable);
  EXPECT_TRUE(EndedAs(status, kNullWriteEnd)) << PlinthTest::DescribeWaitStatus(status);
  EXPECT_EQ(Journaled(), kInstalled + kEntry + "W " + kFilter + "Failed to create the file " +
                             InFolder(fs::path("plain-file") / "host.dmp") + "\n" +
                             "observer a: no dump\nobserver c: no dump\n");
}

TEST_F(CrashHandlerTest, TheDefaultDumpIsTheNormalizedNameInTheDataFolder) {
  // The executable's folder is the data folder of a program without organization; the process
  // number keeps the name apart from parallel runs.
  RunHost(&CrashHostWritesThroughNull, nullptr, [] {
    const std::string name = "Crash Host " + std::to_string(CurrentProcessId());
    const char* argv[] = {"CrashHandlerTests", "-x"};
    Melvo::ApplicationInfo::Init(name, "", "", "1.0", "", Melvo::DataFolderType::ExecutableFolder, 2, argv);
    expectedDump =
        Melvo::ApplicationInfo::DataPath() / ("CrashHost" + std::to_string(CurrentProcessId()) + ".dmp");
  });
  const fs::path defaultDump = ExecutableFolder() / ("CrashHost" + std::to_string(child) + ".dmp");
  const bool written = fs::exists(defaultDump);
  fs::remove(defaultDump);
  EXPECT_TRUE(EndedAs(status, kNullWriteEnd)) << PlinthTest::DescribeWaitStatus(status);
  EXPECT_TRUE(written) << defaultDump;
  EXPECT_EQ(Journaled(), kInstalled + kEntry + "I " + kFilter + "Saved dump file to '" +
                             defaultDump.string() + "'\n" + kObserversTold);
}

#ifndef _WIN32
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
  EXPECT_TRUE(EndedAs(status, SIGSEGV)) << PlinthTest::DescribeWaitStatus(status);
  EXPECT_EQ(Journaled(), kInstalled + kEntry + "E " + kFilter + "Failed to save dump file to '" +
                             InFolder("host.dmp") + "' (error " + std::to_string(EFBIG) + ")\n" +
                             kObserversTold);
  EXPECT_EQ(fs::file_size(dumpFile), 4096u);
}
#endif

}  // namespace
