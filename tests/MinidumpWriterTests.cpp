// The Linux crash platform: the minidump writer read back field by field, a dump file no one else
// can redirect, and the alternate signal stacks. Real crashes of hosts are in CrashHandlerTests.
#include <algorithm>
#include <ctime>
#include <functional>
#include <map>
#include <thread>
#include <tuple>

#include <cpuid.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

#include "platform/PlatformCrash.h"
#include "platform/linux/MinidumpWriter.h"
#include "support/ChildProcess.h"
#include "support/MinidumpReader.h"

namespace {

namespace fs = boost::filesystem;
using Melvo::platform::CrashRecord;
using Melvo::platform::WriteCrashDump;
using Outcome = Melvo::platform::DumpResult::Outcome;
using PlinthTest::MinidumpReader;

constexpr std::uint32_t kThreadList = 3, kModuleList = 4, kMemoryList = 5, kException = 6, kSystemInfo = 7;

std::u16string Widened(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

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

TEST_F(MinidumpWriterTest, DumpOfTheRunningProcessHoldsEveryStream) {
  volatile char marker[] = "stack-marker-7f3a";
  ASSERT_EQ(getcontext(&context), 0);
  // Selectors that tell the three segment fields apart (a Linux process has fs and gs at 0).
  context.uc_mcontext.gregs[REG_CSGSFS] = 0x0000'0055'0063'0033;
  ASSERT_TRUE(WriteDump(SIGBUS));

  MinidumpReader dump(dumpPath);
  EXPECT_EQ(dump.U32(4) & 0xffff, 0xa793u);
  EXPECT_NEAR(dump.U32(20), std::time(nullptr), 60);
  std::vector<std::uint32_t> types;
  for (std::uint32_t index = 0; index < dump.U32(8); ++index)
    types.push_back(dump.U32(dump.U32(12) + index * 12));
  EXPECT_EQ(types, (std::vector<std::uint32_t>{kThreadList, kModuleList, kMemoryList, kException, kSystemInfo,
                                               15, 0x47670004, 0x47670006, 0x47670008, 0x47670009}));
  // One thread, whose registers the exception stream shares, and the stack from just below the stack
  // pointer, in the memory list and the thread entry alike.
  const std::vector<std::uint32_t> threads = dump.Entries(kThreadList, 48),
                                   stacks = dump.Entries(kMemoryList, 16);
  ASSERT_EQ(threads.size(), 1u);
  ASSERT_EQ(stacks.size(), 1u);
  const std::uint32_t thread = threads[0], exception = dump.Stream(kException).rva;
  EXPECT_EQ(dump.Stream(kException).size, 168u);
  EXPECT_EQ(dump.U32(thread), static_cast<std::uint32_t>(syscall(SYS_gettid)));
  EXPECT_EQ(dump.U32(exception), dump.U32(thread));
  EXPECT_EQ(dump.U32(exception + 8), static_cast<std::uint32_t>(SIGBUS));
  EXPECT_EQ(dump.U64(thread + 40), 1232u | std::uint64_t{dump.U32(exception + 164)} << 32);
  EXPECT_EQ(dump.U32(exception + 160), 1232u);
  const greg_t* regs = context.uc_mcontext.gregs;
  EXPECT_EQ(dump.U64(thread + 24), static_cast<std::uint64_t>(regs[REG_RSP]) - 128);
  EXPECT_EQ(dump.Bytes(thread + 24, 16), dump.Bytes(stacks[0], 16));
  const std::string stack = dump.Bytes(dump.U32(thread + 36), dump.U32(thread + 32));
  EXPECT_LE(stack.size(), 256u * 1024u);
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
  EXPECT_EQ(dump.U64(registers + 0x38) & 0xffff'0000'0000'ffff, 0x0055'0000'0000'0033u);  // cs, fs
  EXPECT_EQ(dump.U16(registers + 0x40), 0x63u);                                           // gs
  EXPECT_EQ(dump.U32(registers + 0x34), context.uc_mcontext.fpregs->mxcsr);
  EXPECT_EQ(dump.Bytes(registers + 0x100, 512),
            std::string(reinterpret_cast<char*>(context.uc_mcontext.fpregs), 512));

  // The system, as uname and the processor tell it.
  const std::uint32_t system = dump.Stream(kSystemInfo).rva;
  EXPECT_EQ(dump.Stream(kSystemInfo).size, 56u);
  EXPECT_EQ(dump.U16(system) | std::uint64_t{dump.U32(system + 20)} << 32,
            0x8201'0000'0009u);  // x86-64, Linux
  cpu_set_t cpus;
  ASSERT_EQ(sched_getaffinity(0, sizeof cpus, &cpus), 0);
  EXPECT_EQ(dump.Get<std::uint8_t>(system + 6), CPU_COUNT(&cpus));
  utsname names;
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(dump.String16(dump.U32(system + 24)), Widened(std::string(names.sysname) + " " + names.release +
                                                          " " + names.version + " " + names.machine));
  std::uint32_t version[3] = {};
  ASSERT_EQ(std::sscanf(names.release, "%u.%u.%u", &version[0], &version[1], &version[2]), 3);
  EXPECT_EQ(dump.Bytes(system + 8, 12), std::string(reinterpret_cast<char*>(version), 12));
  unsigned vendor[3], eax, edx, unused;
  __get_cpuid(0, &unused, &vendor[0], &vendor[2], &vendor[1]);
  __get_cpuid(1, &eax, &unused, &unused, &edx);
  EXPECT_EQ(dump.Bytes(system + 32, 20), std::string(reinterpret_cast<char*>(vendor), 12) +
                                             std::string(reinterpret_cast<char*>(&eax), 4) +
                                             std::string(reinterpret_cast<char*>(&edx), 4));
  const std::string cpuInfo = PlinthTest::ReadFile("/proc/cpuinfo");
  for (const auto& [field, value] : {std::make_pair("\ncpu family\t: ", dump.U16(system + 2) + 0),
                                     std::make_pair("\nmodel\t\t: ", dump.U16(system + 4) >> 8),
                                     std::make_pair("\nstepping\t: ", dump.U16(system + 4) & 0xff)}) {
    EXPECT_NE(cpuInfo.find(field + std::to_string(value) + "\n"), std::string::npos) << field;
  }
  const std::uint32_t misc = dump.Stream(15).rva;  // size, flags (a process id), process id
  EXPECT_EQ(std::make_tuple(dump.Stream(15).size, dump.U32(misc), dump.U32(misc + 4) & 1, dump.U32(misc + 8)),
            std::make_tuple(24u, 24u, 1u, static_cast<std::uint32_t>(getpid())));

  // The process's own files, as they are.
  EXPECT_EQ(dump.StreamText(0x47670006), PlinthTest::ReadFile("/proc/self/cmdline"));
  EXPECT_EQ(dump.StreamText(0x47670008), PlinthTest::ReadFile("/proc/self/auxv"));
  EXPECT_NE(dump.StreamText(0x47670004).find("\nPid:\t" + std::to_string(getpid()) + "\n"),
            std::string::npos);
  EXPECT_NE(dump.StreamText(0x47670009).find(" " + fs::read_symlink("/proc/self/exe").string() + "\n"),
            std::string::npos);
}

// A fault has an address; a signal that a process sent (kill, raise, abort) has none.
TEST_F(MinidumpWriterTest, OnlyAFaultRecordsItsAddress) {
  for (const auto& [code, address] :
       {std::make_pair(int{BUS_ADRERR}, 0x5eed0u), std::make_pair(int{SI_USER}, 0u)}) {
    info.si_code = code;
    info.si_addr = reinterpret_cast<void*>(0x5eed0);
    ASSERT_TRUE(WriteDump(SIGBUS));
    MinidumpReader dump(dumpPath);
    EXPECT_EQ(dump.U32(dump.Stream(kException).rva + 12), static_cast<std::uint32_t>(code));
    EXPECT_EQ(dump.U64(dump.Stream(kException).rva + 24), address) << "si_code " << code;
  }
}

// Modules are the mapped executables and shared libraries, each from the mapping of its file's
// start, with its build id and its name in UTF-16, where bytes that are no UTF-8 become U+FFFD.
// Other mapped files are none, not even ELF files that no loader would take.
TEST_F(MinidumpWriterTest, ModulesAreTheMappedExecutablesAndLibraries) {
  // A library of its own making: a header and one note segment, in which a note of odd size comes
  // before the build id; the notes' alignment steps over its padding.
  Elf64_Ehdr header{};
  std::memcpy(header.e_ident, ELFMAG "\2", SELFMAG + 1);  // 64-bit
  header.e_type = ET_DYN;
  header.e_phoff = header.e_ehsize = sizeof header;
  header.e_phentsize = sizeof(Elf64_Phdr);
  header.e_phnum = 1;
  const std::string notes =
      std::string("\4\0\0\0\5\0\0\0\1\0\0\0GNU\0odd\0\0\0\0\0\4\0\0\0\20\0\0\0\3\0\0\0GNU\0", 40) +
      "sixteen-byte-id!";
  const Elf64_Phdr segment{PT_NOTE,      0, sizeof header + sizeof(Elf64_Phdr), 0, 0, notes.size(),
                           notes.size(), 4};
  const std::string library = std::string(reinterpret_cast<char*>(&header), sizeof header) +
                              std::string(reinterpret_cast<const char*>(&segment), sizeof segment) + notes;
  // Mapped files that no loader would take: text, a relocatable object, a 32-bit library.
  std::string relocatable = library, elf32 = library;
  relocatable[offsetof(Elf64_Ehdr, e_type)] = ET_REL;
  elf32[EI_CLASS] = ELFCLASS32;
  Dl_info self{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&Widened), &self), 0);
  std::vector<void*> mappings;
  // The library's name has two-, three- and four-byte characters (the last three-byte one among
  // them) and a byte that is no UTF-8.
  for (const auto& [name, content] :
       {std::make_pair("notes.txt", std::string(100, 'x')), std::make_pair("object.o", relocatable),
        std::make_pair("elf32.so", elf32),
        std::make_pair("lib\xc3\xa9\xe2\x82\xac\xef\xbf\xbf\xf0\x9f\x98\x80\xff.so", library)}) {
    PlinthTest::WriteFile(folder / name, content);
    const int fd = open((folder / name).c_str(), O_RDONLY);
    mappings.push_back(mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, fd, 0));
    close(fd);
  }
  const bool written = WriteDump(SIGSEGV);
  for (void* mapping : mappings) munmap(mapping, 4096);
  ASSERT_TRUE(written);

  MinidumpReader dump(dumpPath);
  std::map<std::u16string, std::uint32_t> modules;  // the entries by name
  for (std::uint32_t entry : dump.Entries(kModuleList, 108))
    modules[dump.String16(dump.U32(entry + 20))] = entry;
  const std::u16string inFolder = Widened(folder.Path().string() + "/");
  EXPECT_EQ(
      std::count_if(modules.begin(), modules.end(), [&](auto& m) { return m.first.rfind(inFolder, 0) == 0; }),
      1);
  const std::uint32_t copy = modules[inFolder + u"lib\u00e9\u20ac\uFFFF\U0001F600\uFFFD.so"];
  ASSERT_NE(copy, 0u);
  EXPECT_EQ(std::make_pair(dump.U64(copy), dump.U32(copy + 8)),
            std::make_pair(std::uint64_t(mappings[3]), 4096u));
  EXPECT_EQ(dump.Bytes(dump.U32(copy + 80), dump.U32(copy + 76)), "LEpBsixteen-byte-id!");
  // The executable's module covers its code from its load base on.
  const std::uint32_t executable = modules[Widened(fs::read_symlink("/proc/self/exe").string())];
  ASSERT_NE(executable, 0u);
  EXPECT_EQ(dump.U64(executable), std::uint64_t(self.dli_fbase));
  EXPECT_LT(std::uint64_t(&Widened), dump.U64(executable) + dump.U32(executable + 8));
}

TEST_F(MinidumpWriterTest, AFailedWriteReportsItsErrorNumber) {
  for (const auto& [file, flags, error] : {std::make_tuple("/dev/full", O_WRONLY, ENOSPC),
                                           std::make_tuple("/proc/self/cmdline", O_RDONLY, EBADF)}) {
    const int fd = open(file, flags);
    errno = 0;
    EXPECT_FALSE(Melvo::platform::WriteMinidump(fd, Record(SIGSEGV))) << file;
    EXPECT_EQ(errno, error) << file;
    close(fd);
  }
}

// A dump holds the process's memory. It goes into a new file for the owner's eyes only, whatever
// the umask, or into an earlier dump of the process's own, even when that gets standard input's
// number. In a dump folder open to all, another user may have planted a link or a file under the
// dump's name: the dump never goes through it, but replaces it, or where it cannot, is not written.
TEST_F(MinidumpWriterTest, ADumpGoesIntoAFileOfTheProcesssOwnOnly) {
  constexpr uid_t kNobody = 65534;
  ASSERT_EQ(chmod(folder.Path().c_str(), 01777), 0);
  const std::string victim = (folder / "victim").string();
  const auto asNobody = [](const std::function<void()>& body) {
    return [body] {
      PlinthTest::RunInChildProcess([&] {
        ASSERT_EQ(setgid(kNobody) | setuid(kNobody), 0);
        body();
      });
    };
  };
  const auto earlierDump = [&] { PlinthTest::WriteFile(dumpPath, "an earlier dump"); };
  struct Case {
    const char* what;
    std::function<void()> plant;
    bool reused = false, closeStandardInput = false, asAnotherUser = false;
  };
  const Case cases[] = {
      {"nothing", [] {}},
      {"an earlier dump of its own", earlierDump, true},
      {"an earlier dump, opened as standard input", earlierDump, true, true},
      {"a second name of another file", [&] { ASSERT_EQ(link(victim.c_str(), dumpPath.c_str()), 0); }},
      {"a link to another file", asNobody([&] { ASSERT_EQ(symlink(victim.c_str(), dumpPath.c_str()), 0); }),
       false, false, true},
      {"a link to nothing yet", asNobody([&] { ASSERT_EQ(symlink("elsewhere", dumpPath.c_str()), 0); }),
       false, false, true},
      {"a file of another user", asNobody(earlierDump), false, false, true},
      {"a named pipe", asNobody([&] { ASSERT_EQ(mkfifo(dumpPath.c_str(), 0666), 0); }), false, false, true},
  };
  CrashRecord record = Record(SIGSEGV);
  const auto openFiles = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
  const auto openBefore = openFiles();
  const mode_t umaskBefore = umask(0);
  const int standardInput = dup(0);
  for (const Case& c : cases) {
    if (c.asAnotherUser && geteuid() != 0) continue;  // planting as another user needs root
    SCOPED_TRACE(c.what);
    PlinthTest::WriteFile(victim, "precious");
    unlink(dumpPath.c_str());
    c.plant();
    const int earlier = c.reused ? open(dumpPath.c_str(), O_RDONLY) : -1;
    if (c.closeStandardInput) close(0);
    ASSERT_EQ(WriteCrashDump(dumpPath, &record).outcome, Outcome::Written);
    dup2(standardInput, 0);
    struct stat status {};
    ASSERT_EQ(lstat(dumpPath.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode) && status.st_uid == geteuid() && status.st_nlink == 1u);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_NO_THROW(MinidumpReader{dumpPath});
    EXPECT_EQ(PlinthTest::ReadFile(victim), "precious") << "the dump went into the other file";
    char signature[4] = {};
    EXPECT_EQ(c.reused, pread(earlier, signature, 4, 0) == 4 && std::string(signature, 4) == "MDMP");
    close(earlier);
  }
  umask(umaskBefore);
  close(standardInput);
  EXPECT_EQ(openFiles(), openBefore) << "descriptors left open";
  if (geteuid() != 0) return;

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
  })();
  EXPECT_EQ(PlinthTest::ReadFile(dumpPath), "root's");
}

stack_t CurrentAlternateStack() {
  stack_t stack{};
  sigaltstack(nullptr, &stack);
  return stack;
}

TEST(AlternateStackTest, EachPreparedThreadGetsOneLargeEnoughStackOnce) {
  stack_t first{};
  std::thread([&] {
    ASSERT_NE(CurrentAlternateStack().ss_flags & SS_DISABLE, 0);
    ASSERT_TRUE(Melvo::platform::PrepareThreadForCrash());
    first = CurrentAlternateStack();
    EXPECT_TRUE((first.ss_flags & SS_DISABLE) == 0 && first.ss_size >= 256u * 1024u);
    ASSERT_TRUE(Melvo::platform::PrepareThreadForCrash());
    EXPECT_EQ(CurrentAlternateStack().ss_sp, first.ss_sp);
  }).join();
  // The stack goes with its thread: its memory is no longer mapped.
  EXPECT_TRUE(msync(first.ss_sp, first.ss_size, MS_ASYNC) != 0 && errno == ENOMEM);

  // A thread's own stack is kept when it is large enough, replaced when it is too small. A thread
  // that got no stack from the library releases none when it ends: a page low in memory stays.
  void* low = mmap(reinterpret_cast<void*>(0x10000), 4096, PROT_READ,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  ASSERT_EQ(low, reinterpret_cast<void*>(0x10000));
  static char large[512 * 1024], exact[256 * 1024], small[16 * 1024];
  for (auto [memory, size, kept] :
       {std::make_tuple(large, sizeof large, true), std::make_tuple(exact, sizeof exact, true),
        std::make_tuple(small, sizeof small, false)}) {
    std::thread([&, memory = memory, size = size, kept = kept] {
      const stack_t own{memory, 0, size}, disable{nullptr, SS_DISABLE, 0};
      ASSERT_EQ(sigaltstack(&own, nullptr), 0);
      ASSERT_TRUE(Melvo::platform::PrepareThreadForCrash());
      EXPECT_EQ(CurrentAlternateStack().ss_sp == memory, kept) << size;
      EXPECT_GE(CurrentAlternateStack().ss_size, 256u * 1024u);
      if (kept) sigaltstack(&disable, nullptr);
    }).join();
    EXPECT_EQ(msync(low, 4096, MS_ASYNC), 0) << "unmapped by the thread with a stack of " << size;
  }
  munmap(low, 4096);

  // A thread whose stack cannot be mapped is told so and is left without one.
  PlinthTest::RunInChildProcess([] {
    std::thread([] {
      rlimit noNewMappings{};
      getrlimit(RLIMIT_AS, &noNewMappings);
      noNewMappings.rlim_cur = 0;
      ASSERT_EQ(setrlimit(RLIMIT_AS, &noNewMappings), 0);
      EXPECT_FALSE(Melvo::platform::PrepareThreadForCrash());
      EXPECT_NE(CurrentAlternateStack().ss_flags & SS_DISABLE, 0);
    }).join();
  });
}

}  // namespace
