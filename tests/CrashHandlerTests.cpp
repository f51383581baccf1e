// Real crashes of a host in child processes: the child sets up logging and the crash handler as a
// host does, then faults. The parent checks how the child ended, the dump it left and what it
// logged and told its observers, which the child writes to a journal file as it goes.
//
// The test process itself never touches the crash handler, the logging or the application
// information, so every child starts from a fresh library and the parent stays single-threaded.
// On Windows the child runs this test again from its start (see ChildProcess.h), so the folder it
// works in is handed down through the environment rather than made anew.
#include <Plinth/ApplicationInfo.h>
#include <Plinth/CrashHandler.h>
#include <Plinth/Logging.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fstream>
#include <regex>
#include <thread>

#include <fcntl.h>

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>
#include <boost/filesystem.hpp>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <dirent.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "support/ChildProcess.h"
#include "support/CrashProcess.h"
#include "support/Files.h"
#include "support/MinidumpReader.h"

namespace {

namespace fs = boost::filesystem;
using Melvo::CrashHandler;

// What differs between the platforms: how a null write ends the process (and the code its dump
// records), the thread numbers, and whether this process holds a file open.
#ifdef _WIN32
constexpr int kNullWriteEnd = static_cast<int>(0xC0000005u);

bool EndedAs(int status, int end) {
  return status == end;
}
std::uint32_t CurrentThreadId() {
  return GetCurrentThreadId();
}
// The dump is created shared with no one: while the library holds it, it cannot be opened.
bool IsOpen(const fs::path& path) {
  return fs::exists(path) && !std::ifstream(path.string()).is_open();
}
#else
constexpr int kNullWriteEnd = SIGSEGV;

bool EndedAs(int status, int signal) {
  return WIFSIGNALED(status) && WTERMSIG(status) == signal;
}
std::uint32_t CurrentThreadId() {
  return static_cast<std::uint32_t>(syscall(SYS_gettid));
}
bool IsOpen(const fs::path& path) {
  DIR* descriptors = opendir("/proc/self/fd");
  bool open = false;
  while (dirent* entry = readdir(descriptors)) {
    boost::system::error_code error;
    open = open || fs::read_symlink(std::string("/proc/self/fd/") + entry->d_name, error) == path;
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
  if (write(journal, (line + "\n").data(), line.size() + 1) != static_cast<int>(line.size() + 1))
    std::abort();
}

// Set by a host that crashes inside the sink, while the sink holds its lock.
volatile bool crashInSink = false;
// The logger the host hands the library.
std::shared_ptr<spdlog::logger> hostLogger;

class JournalSink : public spdlog::sinks::base_sink<std::mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    if (crashInSink) PlinthTest::WriteThroughNull();
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

void CrashHostWritesThroughNull() {
  std::ofstream(crashingThreadFile.string()) << CurrentThreadId();
  PlinthTest::WriteThroughNull();
}

#ifndef _WIN32
volatile int stopDepth = -1;

__attribute__((noinline)) int CrashHostRecurses(int depth) {
  volatile char frame[256];
  frame[depth % sizeof frame] = static_cast<char>(depth);
  return depth == stopDepth ? 0 : CrashHostRecurses(depth + 1) + frame[depth % sizeof frame];
}

void CrashHostOverflowsItsStack() {
  std::ofstream(crashingThreadFile.string()) << CurrentThreadId();
  stopDepth = CrashHostRecurses(0);
}

template <int kSignal>
void CrashHostRaises() {
  std::ofstream(crashingThreadFile.string()) << CurrentThreadId();
  kSignal == SIGABRT ? std::abort() : static_cast<void>(raise(kSignal));
}

// Leaves ones on the stack below the caller, where the next calls will find them in their variables.
__attribute__((noinline)) void FillTheStackBelow() {
  volatile char below[64 * 1024];
  for (volatile char& byte : below) byte = static_cast<char>(0xff);
}

// A host thread that never prepared for crashes, and holds back a signal that is already pending.
// The crash is handled on the thread's own stack, where the handler's variables start out as ones:
// it must not let the held signal through.
void CrashHostHoldingASignal() {
  std::ofstream(crashingThreadFile.string()) << CurrentThreadId();
  sigset_t held;
  sigemptyset(&held);
  sigaddset(&held, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &held, nullptr);
  raise(SIGUSR1);
  FillTheStackBelow();
  PlinthTest::WriteThroughNull();
}

// A thread that stays in a system call until the process ends.
std::atomic<int> parked{0};

__attribute__((noinline)) void ParkForever() {
  ++parked;
  for (;;) pause();
}
#endif

// Runs `crash` on a thread the host started and prepared for crashes.
template <void (*crash)()>
void OnAPreparedThread() {
  std::thread([] {
    if (!CrashHandler::initializeThread()) std::abort();
    crash();
  }).join();
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

  // Runs a host in a child that logs to a fresh journal, runs `setUp`, configures the crash handler
  // (unless `configuration` is null) with `timeLimit` (ample by default, for a slow machine or
  // Windows under wine), initializes it, registers observers a, b and c of which b is gone before
  // the crash, and runs `crash`.
  void RunHost(
      void (*crash)(), const CrashHandler::Configuration* configuration, void (*setUp)() = [] {},
      std::chrono::milliseconds timeLimit = std::chrono::minutes(1)) {
    expectedDump = dumpFile;
    crashingThreadFile = folder / "thread.txt";
    fs::remove(folder / "journal.txt");
    status = PlinthTest::RunInChild(
        [&] {
          journal = open((folder / "journal.txt").string().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
          hostLogger = std::make_shared<spdlog::logger>("vorn.Plinth", std::make_shared<JournalSink>());
          hostLogger->set_level(spdlog::level::trace);
          InitLoggerPlinth({hostLogger}, LoggerThreadPoolSettings{1024, 1});
          setUp();
          CrashHandler& handler = CrashHandler::getInstance();
          handler.setTimeLimit(timeLimit);
          if (configuration != nullptr) handler.configure(*configuration);
          handler.initialize();
          auto a = std::make_shared<JournalingObserver>("a"), b = std::make_shared<JournalingObserver>("b"),
               c = std::make_shared<JournalingObserver>("c");
          for (const auto& observer : {a, b, c}) handler.AddObserver(observer);
          b.reset();
          crash();
        },
        &child);
  }

  // The journal with the test's folder written as "@", and the line ends of any platform as "\n".
  std::string Journaled() const {
    std::string text = PlinthTest::ReadFile(folder / "journal.txt");
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    for (std::size_t at; (at = text.find(folder.string())) != std::string::npos;)
      text.replace(at, folder.string().size(), "@");
    return text;
  }

  const fs::path folder = MakeOrFindFolder();
  fs::path dumpFile = folder / "host.dmp";
  const CrashHandler::Configuration writeDump{"host", folder, true};
  int status = 0;
  int child = 0;
};

const std::string kFilter = "vorn.Plinth.CrashHandler src/CrashHandler Melvo::CrashHandlerMinidump: ";
const std::string kEntry =
    "I vorn.Plinth.CrashHandler src/CrashHandler Melvo::CrashHandler::initialize: "
    "CrashHandlerMinidump installed\nC " +
    kFilter + "CrashHandlerMinidump Entry\n";
const std::string kObserversTold = "observer a: dump closed\nobserver c: dump closed\n";
const std::string kSaved =
    "I " + kFilter + "Saved dump file to '" + (fs::path("@") / "host.dmp").string() + "'\n";

struct CrashKind {
  const char* name;
  void (*crash)();
  int end;
  const char* innermostFrame = nullptr;  // of lldb's backtrace of the dump, on Linux
  int parkedThreads = 0;
};

void PrintTo(const CrashKind& kind, std::ostream* out) {
  *out << kind.name;
}

class CrashKindTest : public CrashHandlerTest, public testing::WithParamInterface<CrashKind> {};

// Every live observer is told once, after the dump was closed; an earlier crash's dump is replaced
// by one of every thread, the crashing one first, that lldb can read.
TEST_P(CrashKindTest, ReplacesTheDumpWithOneOfItsThreadsAndTellsTheObservers) {
  const CrashKind& kind = GetParam();
  PlinthTest::WriteFile(dumpFile, std::string(4 << 20, 'x'));
  RunHost(kind.crash, &writeDump);
  EXPECT_TRUE(EndedAs(status, kind.end)) << PlinthTest::DescribeWaitStatus(status);
  EXPECT_EQ(Journaled(), kEntry + kSaved + kObserversTold);
  EXPECT_LT(fs::file_size(dumpFile), 4u << 20);
  PlinthTest::MinidumpReader dump(dumpFile.string());
  const std::uint32_t exception = dump.Stream(6).rva;
  EXPECT_EQ(dump.U32(exception), std::stoul(PlinthTest::ReadFile(crashingThreadFile)));
  EXPECT_EQ(dump.U32(exception + 8), static_cast<std::uint32_t>(kind.end));
#ifndef _WIN32
  EXPECT_EQ(fs::status(dumpFile).permissions(), fs::owner_read | fs::owner_write);
  const std::vector<std::uint32_t> threads = dump.Entries(3, 48);
  ASSERT_FALSE(threads.empty());
  EXPECT_EQ(dump.U32(threads[0]), dump.U32(exception));
  EXPECT_EQ(dump.Entries(5, 16).size(), threads.size());
  // A thread that waits in a system call has its return address in rcx as well as in rip.
  EXPECT_GE(std::count_if(threads.begin() + 1, threads.end(),
                          [&](std::uint32_t entry) {
                            const std::uint32_t registers = dump.U32(entry + 44);
                            return dump.U32(entry + 28) != 0 &&
                                   dump.U64(registers + 128) == dump.U64(registers + 248);
                          }),
            kind.parkedThreads);
  // A stack pointer that ran into the guard gap below the stack: the dump holds the stack above it.
  const std::uint64_t stackPointer = dump.U64(dump.U32(threads[0] + 44) + 0x98);
  const bool overflow = std::string(kind.name).find("Overflow") != std::string::npos;
  EXPECT_EQ(dump.U64(threads[0] + 24) > stackPointer - 128 && dump.U32(threads[0] + 32) == 256u * 1024u,
            overflow);
  if (kind.innermostFrame != nullptr) {
    const std::string backtrace = PlinthTest::Lldb(dumpFile.string(), "thread backtrace all");
    // The crashing thread is lldb's selected one, marked by a star.
    EXPECT_TRUE(
        std::regex_search(backtrace, std::regex("\\* frame #0: .*" + std::string(kind.innermostFrame))))
        << backtrace;
    std::ptrdiff_t parked = 0;
    for (std::size_t at = 0; (at = backtrace.find("ParkForever", at)) != std::string::npos; ++at) ++parked;
    EXPECT_EQ(parked, kind.parkedThreads) << backtrace;
  }
#endif
}

const CrashKind kCrashKinds[] = {
    {"NullWrite", &CrashHostWritesThroughNull, kNullWriteEnd, "WriteThroughNull"},
    {"NullWriteOnAnotherThread", &OnAPreparedThread<&CrashHostWritesThroughNull>, kNullWriteEnd,
     "WriteThroughNull"},
#ifndef _WIN32
#if !defined(__SANITIZE_THREAD__)  // its run time cannot run in the helper that traces the threads
    {"NullWriteBesideParkedThreads",
     [] {
       for (int started = 0; started < 3; ++started) std::thread(&ParkForever).detach();
       while (parked < 3) std::this_thread::yield();
       CrashHostWritesThroughNull();
     },
     SIGSEGV, "WriteThroughNull", 3},
    // ThreadSanitizer, for its part, handles the signals itself and may let the held one through.
    {"NullWriteOnAnUnpreparedThreadHoldingASignal", [] { std::thread(&CrashHostHoldingASignal).join(); },
     SIGSEGV, "WriteThroughNull"},
#endif
    // Wine never hands a stack overflow to the unhandled-exception filter (the main thread hangs,
    // another thread just ends), so the Windows build cannot test it here.
    {"StackOverflow", &CrashHostOverflowsItsStack, SIGSEGV, "CrashHostRecurses"},
    {"StackOverflowOnAnotherThread", &OnAPreparedThread<&CrashHostOverflowsItsStack>, SIGSEGV,
     "CrashHostRecurses"},
    {"Abort", &CrashHostRaises<SIGABRT>, SIGABRT},
    {"BusError", &CrashHostRaises<SIGBUS>, SIGBUS},
    {"ArithmeticError", &CrashHostRaises<SIGFPE>, SIGFPE},
    {"IllegalInstruction", &CrashHostRaises<SIGILL>, SIGILL},
    {"Trap", &CrashHostRaises<SIGTRAP>, SIGTRAP},
    // Thread-local objects, the library's alternate stack among them, are gone by the time the
    // handlers registered with atexit run.
    {"NullWriteAtExit",
     [] {
       std::atexit(&CrashHostWritesThroughNull);
       std::exit(0);
     },
     SIGSEGV, "WriteThroughNull"},
#endif
};
INSTANTIATE_TEST_SUITE_P(Crashes, CrashKindTest, testing::ValuesIn(kCrashKinds),
                         [](const testing::TestParamInfo<CrashKind>& kind) {
                           return std::string(kind.param.name);
                         });

#ifndef _WIN32
// A thread that crashes while another one handles its crash waits: the process ends of the first.
TEST_F(CrashHandlerTest, ASecondCrashWaitsForTheFirst) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer defers and re-delivers signals itself, so the second crash does not "
                  "reach the waiting handler as it would in a plain process";
#endif
  RunHost(&CrashHostRaises<SIGABRT>, &writeDump, [] {
    struct CrashesAnotherThread : Melvo::ICrashHandlerObserver {
      void OnCrash() override {
        std::thread(&PlinthTest::WriteThroughNull).detach();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
    };
    static const auto observer = std::make_shared<CrashesAnotherThread>();
    CrashHandler::getInstance().AddObserver(observer);
  });
  EXPECT_TRUE(EndedAs(status, SIGABRT)) << PlinthTest::DescribeWaitStatus(status);
}
#endif

// Handling that hangs, in an observer that never returns or on the lock of a log sink the crashed
// code held, still ends the process within the time limit, as the crash itself would have. Without
// a limit (0), handling that takes its time ends the same way, only later.
TEST_F(CrashHandlerTest, HandlingThatHangsEndsWithinTheTimeLimit) {
  static std::chrono::milliseconds observerTakes;
  struct Slow : Melvo::ICrashHandlerObserver {
    void OnCrash() override { std::this_thread::sleep_for(observerTakes); }
  };
  void (*const slowObserver)() = [] {
    static const auto slow = std::make_shared<Slow>();
    CrashHandler::getInstance().AddObserver(slow);
    CrashHostWritesThroughNull();
  };
  void (*const crashInTheSink)() = [] {
    crashInSink = true;
    hostLogger->info("the sink crashes");
  };
  const std::tuple<void (*)(), int, int> hangs[] = {
      {slowObserver, 500, 3'600'000}, {crashInTheSink, 500, 0}, {slowObserver, 0, 1500}};
  for (const auto& [hang, limit, observerMilliseconds] : hangs) {
    observerTakes = std::chrono::milliseconds(observerMilliseconds);
    const auto start = std::chrono::steady_clock::now();
    RunHost(
        hang, &writeDump, [] {}, std::chrono::milliseconds(limit));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer may hold the time limit's signal back while the thread waits: the kill ends it.
    EXPECT_TRUE(EndedAs(status, kNullWriteEnd) || EndedAs(status, SIGKILL))
        << PlinthTest::DescribeWaitStatus(status);
#else
    EXPECT_TRUE(EndedAs(status, kNullWriteEnd))
        << PlinthTest::DescribeWaitStatus(status) << ", limit " << limit;
#endif
  }
}

// A dump that could not be created or written is logged, the partial file stays, and the observers
// are told all the same.
TEST_F(CrashHandlerTest, AFailedDumpIsLoggedAndTheObserversAreStillTold) {
  PlinthTest::WriteFile(folder / "plain-file", "not a folder");
  const std::tuple<const char*, void (*)(), std::string> cases[] = {
      // Nobody can create a file below a regular file.
      {"plain-file", &CrashHostWritesThroughNull,
       "W " + kFilter + "Failed to create the file " + (fs::path("@") / "plain-file" / "host.dmp").string() +
           "\nobserver a: no dump\nobserver c: no dump\n"},
#ifndef _WIN32
      // Files may grow to 4 KiB only; beyond that a write fails with EFBIG instead of a signal.
      {"",
       [] {
         signal(SIGXFSZ, SIG_IGN);
         const rlimit limit{4096, 4096};
         setrlimit(RLIMIT_FSIZE, &limit);
         CrashHostWritesThroughNull();
       },
       "E " + kFilter + "Failed to save dump file to '" + (fs::path("@") / "host.dmp").string() +
           "' (error " + std::to_string(EFBIG) + ")\n" + kObserversTold},
#endif
  };
  for (const auto& [subfolder, crash, logged] : cases) {
    dumpFile = folder / subfolder / "host.dmp";
    const CrashHandler::Configuration configuration{"host", folder / subfolder, true};
    RunHost(crash, &configuration);
    EXPECT_TRUE(EndedAs(status, kNullWriteEnd)) << PlinthTest::DescribeWaitStatus(status);
    EXPECT_EQ(Journaled(), kEntry + logged);
    EXPECT_EQ(PlinthTest::ReadFile(dumpFile).size(), *subfolder == '\0' ? 4096u : 0u);
  }
}

// The default dump is the application's normalized name in its data folder: where the observers
// find it, and the log says so. The process number keeps the name apart from parallel runs.
TEST_F(CrashHandlerTest, TheDefaultDumpIsTheNormalizedNameInTheDataFolder) {
  RunHost(&CrashHostWritesThroughNull, nullptr, [] {
    const char* argv[] = {"CrashHandlerTests", "-x"};
    const std::string name = "Crash Host " + std::to_string(getpid());
    Melvo::ApplicationInfo::Init(name, "", "", "1.0", "", Melvo::DataFolderType::ExecutableFolder, 2, argv);
    expectedDump = Melvo::ApplicationInfo::DataPath() / ("CrashHost" + std::to_string(getpid()) + ".dmp");
  });
  const std::string journaled = Journaled(), saved = "Saved dump file to '";
  const std::size_t path = journaled.find(saved) + saved.size();
  const fs::path dump = journaled.substr(path, journaled.find('\'', path) - path);
  EXPECT_TRUE(fs::remove(dump)) << dump;
  EXPECT_EQ(dump.filename(), "CrashHost" + std::to_string(child) + ".dmp");
  EXPECT_EQ(journaled, kEntry + "I " + kFilter + saved + dump.string() + "'\n" + kObserversTold);
}

}  // namespace
