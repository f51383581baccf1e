// The Linux crash platform: the minidump writer read back field by field, and a dump file no one
// else can redirect. Real crashes of hosts are in CrashHandlerTests.
#include <algorithm>
#include <csignal>
#include <functional>
#include <thread>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/PlatformCrash.h"
#include "platform/linux/MinidumpWriter.h"
#include "support/ChildProcess.h"
#include "support/MinidumpReader.h"

namespace {

using Melvo::platform::CrashRecord;
using Melvo::platform::WriteCrashDump;
using Outcome = Melvo::platform::DumpResult::Outcome;
using PlinthTest::MinidumpReader;

constexpr std::uint32_t kThreadList = 3, kModuleList = 4, kMemoryList = 5, kException = 6, kSystemInfo = 7;

class MinidumpWriterTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(getcontext(&context), 0); }

  // A crash by `signal` of the calling thread, with the registers in `context`.
  CrashRecord Record(int signal) {
    return {signal, &info, &context, static_cast<pid_t>(syscall(SYS_gettid))};
  }

  bool WriteDump(int signal) {
    const int fd = open(dumpPath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    const bool written = Melvo::platform::WriteMinidump(fd, Record(signal));
    close(fd);
    return written;
  }

  PlinthTest::TempFolder folder;
  std::string dumpPath = (folder / "process.dmp").string();
  ucontext_t context;
  siginfo_t info{};
};

// A fault's dump: its streams in order, the one thread, whose registers the exception stream shares,
// with its stack from just below the stack pointer, the modules, and the processor as CPUID tells it.
TEST_F(MinidumpWriterTest, DumpOfTheRunningProcessHoldsEveryStream) {
  // A copy of this program mapped under a name with two-, three- and four-byte characters (the last
  // three-byte one among them) and a byte that is no UTF-8.
  const std::string copy = (folder / "lib\xc3\xa9\xe2\x82\xac\xef\xbf\xbf\xf0\x9f\x98\x80\xff.so").string();
  PlinthTest::WriteFile(copy, PlinthTest::ReadFile("/proc/self/exe"));
  const int fd = open(copy.c_str(), O_RDONLY);
  void* const mapping = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  volatile char marker[] = "stack-marker-7f3a";
  ASSERT_EQ(getcontext(&context), 0);
  info.si_code = BUS_ADRERR;
  info.si_addr = reinterpret_cast<void*>(0x5eed0);
  ASSERT_TRUE(WriteDump(SIGBUS));

  MinidumpReader dump(dumpPath);
  std::vector<std::uint32_t> types;
  for (std::uint32_t index = 0; index < dump.U32(8); ++index)
    types.push_back(dump.U32(dump.U32(12) + index * 12));
  EXPECT_EQ(types, (std::vector<std::uint32_t>{kThreadList, kModuleList, kMemoryList, kException, kSystemInfo,
                                               15, 0x47670004, 0x47670006, 0x47670008, 0x47670009}));
  const std::vector<std::uint32_t> threads = dump.Entries(kThreadList, 48),
                                   stacks = dump.Entries(kMemoryList, 16);
  ASSERT_EQ(std::make_pair(threads.size(), stacks.size()), std::make_pair(1ul, 1ul));
  const std::uint32_t thread = threads[0], exception = dump.Stream(kException).rva;
  EXPECT_EQ(dump.U32(thread), static_cast<std::uint32_t>(syscall(SYS_gettid)));
  EXPECT_EQ(std::make_tuple(dump.U32(exception), dump.U32(exception + 8), dump.U32(exception + 12),
                            dump.U64(exception + 24)),
            std::make_tuple(dump.U32(thread), std::uint32_t{SIGBUS}, std::uint32_t{BUS_ADRERR}, 0x5eed0ul));
  EXPECT_EQ(dump.U64(thread + 40), 1232u | std::uint64_t{dump.U32(exception + 164)} << 32);
  EXPECT_EQ(dump.U32(exception + 160), 1232u);
  const greg_t* regs = context.uc_mcontext.gregs;
  EXPECT_EQ(dump.U64(thread + 24), static_cast<std::uint64_t>(regs[REG_RSP]) - 128);
  EXPECT_EQ(dump.Bytes(thread + 24, 16), dump.Bytes(stacks[0], 16));
  const std::string stack = dump.Bytes(dump.U32(thread + 36), dump.U32(thread + 32));
  EXPECT_NE(stack.find(const_cast<const char*>(marker)), std::string::npos);

  // Every general register, the flags and the floating-point state, where the format puts them.
  const std::uint32_t registers = dump.U32(thread + 44);
  EXPECT_EQ(dump.U32(registers + 0x30), 0x0010000bu);
  const std::pair<std::size_t, int> general[] = {
      {0x78, REG_RAX}, {0x80, REG_RCX}, {0x88, REG_RDX}, {0x90, REG_RBX}, {0x98, REG_RSP}, {0xa0, REG_RBP},
      {0xa8, REG_RSI}, {0xb0, REG_RDI}, {0xb8, REG_R8},  {0xc0, REG_R9},  {0xc8, REG_R10}, {0xd0, REG_R11},
      {0xd8, REG_R12}, {0xe0, REG_R13}, {0xe8, REG_R14}, {0xf0, REG_R15}, {0xf8, REG_RIP}};
  for (const auto& [offset, index] : general) {
    EXPECT_EQ(dump.U64(registers + offset), static_cast<std::uint64_t>(regs[index])) << "register " << index;
  }
  EXPECT_EQ(dump.U32(registers + 0x44), static_cast<std::uint32_t>(regs[REG_EFL]));
  EXPECT_EQ(dump.U32(registers + 0x34), context.uc_mcontext.fpregs->mxcsr);
  EXPECT_EQ(dump.Bytes(registers + 0x100, 512),
            std::string(reinterpret_cast<char*>(context.uc_mcontext.fpregs), 512));

  // x86-64 on Linux.
  const std::uint32_t system = dump.Stream(kSystemInfo).rva;
  EXPECT_EQ(dump.U16(system) | std::uint64_t{dump.U32(system + 20)} << 32, 0x8201'0000'0009u);
  // Modules are the mapped executables and shared libraries, each with its name in UTF-16 (a byte
  // that is no UTF-8 as U+FFFD) and its build id, which GCC makes 20 bytes long.
  const std::u16string name = u"/lib\u00e9\u20ac\uFFFF\U0001F600\uFFFD.so";
  int found = 0;
  for (std::uint32_t entry : dump.Entries(kModuleList, 108)) {
    const std::uint32_t text = dump.U32(entry + 20), size = dump.U32(text);
    if (dump.U64(entry) != reinterpret_cast<std::uintptr_t>(mapping) || size < name.size() * 2) continue;
    found += dump.Bytes(text + 4 + size - name.size() * 2, name.size() * 2) ==
             std::string(reinterpret_cast<const char*>(name.data()), name.size() * 2);
    EXPECT_EQ(dump.Bytes(dump.U32(entry + 80), 4) + std::to_string(dump.U32(entry + 76)), "LEpB24");
  }
  EXPECT_EQ(found, 1);
  munmap(mapping, 4096);
  // The process's own files, as they are: its command line.
  EXPECT_EQ(dump.StreamText(0x47670006), PlinthTest::ReadFile("/proc/self/cmdline"));
}

// A dump holds the process's memory. It goes into a new file for the owner's eyes only, whatever
// the umask, or into an earlier dump of the process's own, even when that gets standard input's
// number. In a dump folder open to all, another user may have planted a link or a file under the
// dump's name: the dump never goes through it, but replaces it, or where it cannot, is not written.
TEST_F(MinidumpWriterTest, ADumpGoesIntoAFileOfTheProcesssOwnOnly) {
  if (geteuid() != 0) GTEST_SKIP() << "planting files as another user needs root";
  constexpr uid_t kNobody = 65534;
  ASSERT_EQ(chmod(folder.Path().c_str(), 01777), 0);
  const std::string victim = (folder / "victim").string();
  const auto asNobody = [](const std::function<void()>& body) {
    PlinthTest::RunInChildProcess([&] {
      ASSERT_EQ(setgid(kNobody) | setuid(kNobody), 0);
      body();
    });
  };
  const auto earlierDump = [&] { PlinthTest::WriteFile(dumpPath, "an earlier dump"); };
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"an earlier dump, opened as standard input", earlierDump},
      {"a second name of another file", [&] { ASSERT_EQ(link(victim.c_str(), dumpPath.c_str()), 0); }},
      {"a link to another file",
       [&] { asNobody([&] { ASSERT_EQ(symlink(victim.c_str(), dumpPath.c_str()), 0); }); }},
      {"a file of another user", [&] { asNobody(earlierDump); }},
      {"a named pipe", [&] { asNobody([&] { ASSERT_EQ(mkfifo(dumpPath.c_str(), 0666), 0); }); }},
  };
  CrashRecord record = Record(SIGSEGV);
  const mode_t umaskBefore = umask(0);
  const int standardInput = dup(0);
  for (const auto& [what, plant] : cases) {
    SCOPED_TRACE(what);
    PlinthTest::WriteFile(victim, "precious");
    unlink(dumpPath.c_str());
    plant();
    const bool reused = &plant == &cases[0].second;
    const int earlier = reused ? open(dumpPath.c_str(), O_RDONLY) : -1;
    if (reused) close(0);
    ASSERT_EQ(WriteCrashDump(dumpPath, &record).outcome, Outcome::Written);
    dup2(standardInput, 0);
    struct stat status {};
    ASSERT_EQ(lstat(dumpPath.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode) && status.st_uid == geteuid() && status.st_nlink == 1u);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(PlinthTest::ReadFile(victim), "precious") << "the dump went into the other file";
    char signature[4] = {};
    EXPECT_EQ(reused, pread(earlier, signature, 4, 0) == 4 && std::string(signature, 4) == "MDMP");
    close(earlier);
  }
  umask(umaskBefore);
  close(standardInput);

  // A process that may not remove what another user planted writes no dump at all.
  PlinthTest::WriteFile(dumpPath, "root's");
  asNobody([&] {
    CrashRecord own = Record(SIGSEGV);
    EXPECT_EQ(WriteCrashDump(dumpPath, &own).outcome, Outcome::FileNotCreated);
#if !defined(__SANITIZE_THREAD__)  // its run time cannot run in the helper that traces the threads
    // Where the other threads may not be traced (a process that is not dumpable, run by a user
    // without the right to trace it anyway), the dump holds the crashing thread alone and says why.
    std::thread([] { pause(); }).detach();
    ASSERT_EQ(prctl(PR_SET_DUMPABLE, 0), 0);
    const auto result = WriteCrashDump((folder / "nobody.dmp").string(), &own);
    EXPECT_EQ(result.outcome, Outcome::Written);
    EXPECT_STREQ(result.missingThreads, "tracing the other threads was refused");
    EXPECT_EQ(result.missingThreadsError, static_cast<std::uint32_t>(EPERM));
    EXPECT_EQ(MinidumpReader((folder / "nobody.dmp").string()).Entries(kThreadList, 48).size(), 1u);
#endif
  });
  EXPECT_EQ(PlinthTest::ReadFile(dumpPath), "root's");
}

// A thread whose own alternate stack is large enough keeps it. One without gets the library's,
// which goes when the thread ends, and nothing else goes with it: not even a page mapped low.
TEST(AlternateStack, AThreadKeepsAStackOfItsOwnAndOnlyTheLibrarysOwnIsReleased) {
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "ThreadSanitizer keeps the low addresses for itself";
#endif
  PlinthTest::RunInChildProcess([] {
    void* const low = reinterpret_cast<void*>(0x10000);
    ASSERT_EQ(mmap(low, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0), low);
    std::vector<char> own(256 * 1024);
    void* library = nullptr;
    for (const bool hasOwn : {true, false}) {
      std::thread([&] {
        stack_t stack{};
        stack.ss_sp = own.data();
        stack.ss_size = own.size();
        if (hasOwn) {
          ASSERT_EQ(sigaltstack(&stack, nullptr), 0);
        }
        EXPECT_TRUE(Melvo::platform::PrepareThreadForCrash());
        sigaltstack(nullptr, &stack);
        EXPECT_EQ(stack.ss_sp == own.data(), hasOwn);
        EXPECT_GE(stack.ss_size, own.size());
        if (!hasOwn) library = stack.ss_sp;
      }).join();
    }
    EXPECT_EQ(msync(low, 4096, MS_ASYNC), 0) << "the page at 64 KiB was unmapped";
    EXPECT_EQ(msync(library, 4096, MS_ASYNC), -1) << "the library's stack outlived its thread";
  });
}

}  // namespace
