// Real crashes of a host in child processes: the child sets up logging and the crash handler as a
// host does, then faults. The parent checks how the child ended, the dump it left and what it
// logged and told its observers, which the child writes to a journal file as it goes.
//
// The test process itself never touches the crash handler, the logging or the application
// information, so every child starts from a fresh library and the parent stays single-threaded.
// On Windows the child runs this test again from its start (see ChildProcess.h), so the folder it
// works in is handed down through the environment rather than made anew.
#include <Plinth/CrashHandler.h>
#include <Plinth/Logging.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fstream>
#include <thread>

#include <fcntl.h>

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>
#include <boost/filesystem.hpp>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
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
// records), and the thread numbers.
#ifdef _WIN32
constexpr int kNullWriteEnd = static_cast<int>(0xC0000005u);

bool EndedAs(int status, int end) {
  return status == end;
}
std::uint32_t CurrentThreadId() {
  return GetCurrentThreadId();
}
#else
constexpr int kNullWriteEnd = SIGSEGV;

bool EndedAs(int status, int signal) {
  return WIFSIGNALED(status) && WTERMSIG(status) == signal;
}
std::uint32_t CurrentThreadId() {
  return static_cast<std::uint32_t>(syscall(SYS_gettid));
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

// Where the child's observers note the number of the thread that tells them: the one that crashed.
fs::path crashingThreadFile;

struct JournalingObserver : Melvo::ICrashHandlerObserver {
  void OnCrash() override {
    std::ofstream(crashingThreadFile.string()) << CurrentThreadId();
    Journal("observer told");
  }
};

#ifndef _WIN32
volatile int stopDepth = -1;

__attribute__((noinline)) int CrashHostRecurses(int depth) {
  volatile char frame[256];
  frame[depth % sizeof frame] = static_cast<char>(depth);
  return depth == stopDepth ? 0 : CrashHostRecurses(depth + 1) + frame[depth % sizeof frame];
}

// A thread that stays in a system call until the process ends (no row uses it under ThreadSanitizer).
std::atomic<int> parked{0};

[[maybe_unused]] __attribute__((noinline)) void ParkForever() {
  ++parked;
  for (;;) pause();
}
#endif

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

const std::string kFilter = "vorn.Plinth.CrashHandler src/CrashHandler Melvo::CrashHandlerMinidump: ";
const std::string kInstalled =
    "I vorn.Plinth.CrashHandler src/CrashHandler Melvo::CrashHandler::initialize: CrashHandlerMinidump "
    "installed\n";
const std::string kEntry = kInstalled + "C " + kFilter + "CrashHandlerMinidump Entry\n";
const std::string kDumped = kEntry + "I " + kFilter + "Saved dump file to '" +
                            (fs::path("@") / "host.dmp").string() + "'\nobserver told\n";

struct HostCrash {
  const char* name;
  void (*crash)();
  int end;
  std::string journaled = kDumped;  // the test's folder written as "@"
  int parkedThreads = 0;            // lldb's backtrace of the dump shows them, on Linux
};

void PrintTo(const HostCrash& host, std::ostream* out) {
  *out << host.name;
}

class CrashHandlerTest : public testing::TestWithParam<HostCrash> {
 protected:
  ~CrashHandlerTest() override {
#ifdef _WIN32
    SetEnvironmentVariableA(kFolderVariable, nullptr);
#endif
    boost::system::error_code ignored;
    fs::remove_all(folder, ignored);
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
};

// The host logs to a fresh journal, configures the crash handler with an ample time limit (for a
// slow machine or Windows under wine), initializes it, registers an observer, and crashes. It ends
// as the crash would have, within the time limit even when handling hangs; the observer is told
// once, after the dump; an earlier crash's dump is replaced by one of every thread, the crashing
// one first, that lldb can read.
TEST_P(CrashHandlerTest, EndsAsItsCrashAfterTellingTheObserversOfItsDump) {
  const HostCrash& host = GetParam();
  const fs::path dumpFile = folder / "host.dmp";
  PlinthTest::WriteFile(dumpFile, std::string(4 << 20, 'x'));
  crashingThreadFile = folder / "thread.txt";
  const auto start = std::chrono::steady_clock::now();
  const int status = PlinthTest::RunInChild([&] {
    journal = open((folder / "journal.txt").string().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    hostLogger = std::make_shared<spdlog::logger>("vorn.Plinth", std::make_shared<JournalSink>());
    InitLoggerPlinth({hostLogger}, LoggerThreadPoolSettings{1024, 1});
    CrashHandler& handler = CrashHandler::getInstance();
    handler.setTimeLimit(std::chrono::minutes(1));
    handler.configure({"host", folder});  // a dump by default
    handler.initialize();
    const auto observer = std::make_shared<JournalingObserver>();
    handler.AddObserver(observer);
    host.crash();
  });
  // Handling that hangs ends by its 500 ms limit; the others have a minute, for a slow machine.
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            std::chrono::seconds(host.journaled == kInstalled ? 4 : 30));
  EXPECT_TRUE(EndedAs(status, host.end)) << PlinthTest::DescribeWaitStatus(status);
  EXPECT_EQ(Journaled(), host.journaled);
  if (host.journaled != kDumped) return;
  EXPECT_LT(fs::file_size(dumpFile), 4u << 20);
  PlinthTest::MinidumpReader dump(dumpFile.string());
  const std::uint32_t exception = dump.Stream(6).rva;
  EXPECT_EQ(dump.U32(exception), std::stoul(PlinthTest::ReadFile(crashingThreadFile)));
  EXPECT_EQ(dump.U32(exception + 8), static_cast<std::uint32_t>(host.end));
#ifndef _WIN32
  const std::vector<std::uint32_t> threads = dump.Entries(3, 48);
  ASSERT_FALSE(threads.empty());
  EXPECT_EQ(dump.U32(threads[0]), dump.U32(exception));
  EXPECT_EQ(dump.Entries(5, 16).size(), threads.size());
  // A thread that waits in a system call has its return address in rcx as well as in rip, and its
  // stack pointer within the stack the dump holds.
  int waiting = 0;
  for (auto entry = threads.begin() + 1; entry != threads.end(); ++entry) {
    const std::uint32_t registers = dump.U32(*entry + 44);
    waiting += dump.U64(registers + 0x98) - dump.U64(*entry + 24) < dump.U32(*entry + 32) &&
               dump.U64(registers + 0x80) == dump.U64(registers + 0xf8);
  }
  EXPECT_GE(waiting, host.parkedThreads);
  // A stack pointer that ran into the guard gap below the stack: the dump holds the stack above it.
  const std::uint64_t stackPointer = dump.U64(dump.U32(threads[0] + 44) + 0x98);
  const bool overflow = std::string(host.name) == "StackOverflow";
  EXPECT_EQ(dump.U64(threads[0] + 24) > stackPointer - 128 && dump.U32(threads[0] + 32) == 256u * 1024u,
            overflow);
  // A fault has its address (a null write's is 0); a signal that a process sent has none.
  EXPECT_EQ(dump.U64(exception + 24) != 0, overflow);
  if (host.parkedThreads == 0) return;
  const std::string backtrace = PlinthTest::Lldb(dumpFile.string(), "thread backtrace all");
  // The crashing thread is lldb's selected one, marked by a star.
  const std::size_t selected = backtrace.find("* frame #0: ");
  EXPECT_LT(backtrace.find("WriteThroughNull", selected), backtrace.find('\n', selected)) << backtrace;
  std::ptrdiff_t parked = 0;
  for (std::size_t at = 0; (at = backtrace.find("ParkForever", at)) != std::string::npos; ++at) ++parked;
  EXPECT_EQ(parked, host.parkedThreads) << backtrace;
#endif
}

const HostCrash kHostCrashes[] = {
    {"NullWrite", &PlinthTest::WriteThroughNull, kNullWriteEnd},
// ThreadSanitizer's run time cannot run in the helper that traces the threads, and it defers and
// re-delivers signals itself: a hang may end by the kill a second after the time limit.
#if !defined(__SANITIZE_THREAD__)
    // Handling that hangs on the lock of a log sink the crashed code held.
    {"CrashInTheSinkWithAShortTimeLimit",
     [] {
       CrashHandler::getInstance().setTimeLimit(std::chrono::milliseconds(500));
       crashInSink = true;
       hostLogger->info("the sink crashes");
     },
     kNullWriteEnd, kInstalled},
#ifndef _WIN32
    // On a thread the host prepared, while three others wait in system calls.
    {"NullWriteOnAPreparedThreadBesideParkedOnes",
     [] {
       for (int started = 0; started < 3; ++started) std::thread(&ParkForever).detach();
       while (parked < 3) std::this_thread::yield();
       std::thread([] {
         if (CrashHandler::initializeThread()) PlinthTest::WriteThroughNull();
       }).join();
     },
     SIGSEGV, kDumped, 3},
    // A thread that crashes while another one handles its crash waits: the process ends of the
    // first, even when handling takes its time without a time limit (0).
    {"AbortHandledSlowlyWhileAnotherThreadCrashes",
     [] {
       struct CrashesAnotherThread : Melvo::ICrashHandlerObserver {
         void OnCrash() override {
           std::thread(&PlinthTest::WriteThroughNull).detach();
           std::this_thread::sleep_for(std::chrono::milliseconds(1500));
         }
       };
       CrashHandler::getInstance().setTimeLimit(std::chrono::milliseconds(0));
       static const auto observer = std::make_shared<CrashesAnotherThread>();
       CrashHandler::getInstance().AddObserver(observer);
       std::abort();
     },
     SIGABRT},
#endif
#endif
#ifndef _WIN32
    // Wine never hands a stack overflow to the unhandled-exception filter (the main thread hangs,
    // another thread just ends), so the Windows build cannot test it here.
    {"StackOverflow", [] { stopDepth = CrashHostRecurses(0); }, SIGSEGV},
    {"BusErrorSentByTheProcess", [] { kill(getpid(), SIGBUS); }, SIGBUS},
#endif
};
INSTANTIATE_TEST_SUITE_P(Crashes, CrashHandlerTest, testing::ValuesIn(kHostCrashes),
                         [](const testing::TestParamInfo<HostCrash>& host) {
                           return std::string(host.param.name);
                         });

}  // namespace
