// The POSIX crash platform: the minidump writer read back stream by stream, and real crashes in
// child processes whose dumps lldb must understand.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <cpuid.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sched.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>
#include <boost/filesystem/fstream.hpp>

#include "platform/PlatformCrash.h"
#include "platform/linux/MinidumpWriter.h"
#include "support/ChildProcess.h"
#include "support/CrashProcess.h"
#include "support/MinidumpReader.h"
#include "support/Files.h"

namespace {

using Melvo::platform::CrashRecord;
using PlinthTest::MinidumpReader;

constexpr std::uint32_t kThreadList = 3, kModuleList = 4, kMemoryList = 5, kException = 6, kSystemInfo = 7,
                        kMiscInfo = 15, kProcStatus = 0x47670004, kCmdLine = 0x47670006, kAuxv = 0x47670008,
                        kMaps = 0x47670009;

pid_t ThreadId() {
  return static_cast<pid_t>(syscall(SYS_gettid));
}

// A thread that stays where it is until the process ends.
std::atomic<int> parked{0};

__attribute__((noinline)) void ParkForever() {
  ++parked;
  for (;;) pause();
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    text += digits[byte >> 4];
    text += digits[byte & 0xf];
  }
  return text;
}

struct LoadedObject {
  std::string path;
  std::uint64_t base = 0;
  std::string buildId;
};

// What the dynamic loader knows of the loaded objects: load base and the build id read from memory.
std::vector<LoadedObject> LoadedObjects() {
  std::vector<LoadedObject> objects;
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* out) {
        LoadedObject object;
        object.path = info->dlpi_name;
        // The memory map names files by their real path; the loader by the path it was given.
        if (!object.path.empty() && object.path[0] == '/')
          object.path = boost::filesystem::canonical(object.path).string();
        std::uint64_t firstLoad = UINT64_MAX;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& segment = info->dlpi_phdr[i];
          if (segment.p_type == PT_LOAD) firstLoad = std::min<std::uint64_t>(firstLoad, segment.p_vaddr);
          if (segment.p_type != PT_NOTE) continue;
          const char* note = reinterpret_cast<const char*>(info->dlpi_addr + segment.p_vaddr);
          const char* end = note + segment.p_memsz;
          while (note + sizeof(ElfW(Nhdr)) <= end) {
            const auto* header = reinterpret_cast<const ElfW(Nhdr)*>(note);
            const char* name = note + sizeof *header;
            const char* desc = name + ((header->n_namesz + 3) & ~3u);
            if (header->n_type == NT_GNU_BUILD_ID && std::strcmp(name, "GNU") == 0) {
              object.buildId.assign(desc, header->n_descsz);
            }
            note = desc + ((header->n_descsz + 3) & ~3u);
          }
        }
        object.base = info->dlpi_addr + (firstLoad & ~std::uint64_t{0xfff});
        static_cast<std::vector<LoadedObject>*>(out)->push_back(object);
        return 0;
      },
      &objects);
  objects.front().path = boost::filesystem::read_symlink("/proc/self/exe").string();
  return objects;
}

// The line of lldb's backtrace that shows the innermost frame.
std::string InnermostFrame(const std::string& backtrace) {
  const std::size_t frame = backtrace.find("frame #0: ");
  return frame == std::string::npos ? std::string()
                                    : backtrace.substr(frame, backtrace.find('\n', frame) - frame);
}

const PlinthTest::MinidumpModule* FindModule(const std::vector<PlinthTest::MinidumpModule>& modules,
                                             const std::string& path) {
  for (const auto& module : modules) {
    if (module.name == path) return &module;
  }
  return nullptr;
}

class MinidumpWriterTest : public testing::Test {
 protected:
  // Writes a dump of this very process as if `signal` had hit the thread captured in `context`.
  bool WriteDump(const ucontext_t& context, int signal, const siginfo_t& info) {
    const int fd = open(dumpPath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    const CrashRecord record{signal, &info, &context, ThreadId()};
    const bool written = Melvo::platform::WriteMinidump(fd, record);
    close(fd);
    return written;
  }

  PlinthTest::TempFolder folder;
  std::string dumpPath = (folder / "process.dmp").string();
};

// The registers as getcontext left them, with a marker on the stack the dump must hold.
TEST_F(MinidumpWriterTest, DumpOfTheRunningProcessHoldsEveryStream) {
  volatile char marker[] = "stack-marker-7f3a";
  ucontext_t context;
  ASSERT_EQ(getcontext(&context), 0);
  // Selectors that tell the three segment fields apart (a Linux process has fs and gs at 0).
  context.uc_mcontext.gregs[REG_CSGSFS] = 0x0000'0055'0063'0033;
  siginfo_t info{};
  info.si_signo = SIGBUS;
  info.si_code = BUS_ADRERR;
  info.si_addr = reinterpret_cast<void*>(0x5eed0);
  ASSERT_TRUE(WriteDump(context, SIGBUS, info));

  MinidumpReader dump(dumpPath);
  EXPECT_EQ(dump.Version() & 0xffff, 0xa793u);
  const auto now = static_cast<std::uint32_t>(std::time(nullptr));
  EXPECT_LE(dump.U32(20), now);
  EXPECT_GE(dump.U32(20), now - 60);
  EXPECT_EQ(dump.StreamOrder(),
            (std::vector<std::uint32_t>{kThreadList, kModuleList, kMemoryList, kException, kSystemInfo,
                                        kMiscInfo, kProcStatus, kCmdLine, kAuxv, kMaps}));

  // One thread, whose context the exception stream shares.
  const auto threads = dump.Stream(kThreadList);
  ASSERT_EQ(threads.size, 4u + 48u);
  ASSERT_EQ(dump.U32(threads.rva), 1u);
  const std::size_t thread = threads.rva + 4;
  EXPECT_EQ(dump.U32(thread), static_cast<std::uint32_t>(ThreadId()));
  const std::uint32_t contextSize = dump.U32(thread + 40);
  const std::uint32_t contextRva = dump.U32(thread + 44);
  ASSERT_EQ(contextSize, 1232u);

  const auto exception = dump.Stream(kException);
  ASSERT_EQ(exception.size, 168u);
  EXPECT_EQ(dump.U32(exception.rva), static_cast<std::uint32_t>(ThreadId()));
  EXPECT_EQ(dump.U32(exception.rva + 8), static_cast<std::uint32_t>(SIGBUS));
  EXPECT_EQ(dump.U32(exception.rva + 12), static_cast<std::uint32_t>(BUS_ADRERR));
  EXPECT_EQ(dump.U64(exception.rva + 24), 0x5eed0u);
  EXPECT_EQ(dump.U32(exception.rva + 160), 1232u);
  EXPECT_EQ(dump.U32(exception.rva + 164), contextRva);

  // Every general register, the flags and the floating-point state, where the format puts them.
  const greg_t* regs = context.uc_mcontext.gregs;
  EXPECT_EQ(dump.U32(contextRva + 0x30), 0x0010000bu);
  const std::pair<std::size_t, int> registers[] = {
      {0x78, REG_RAX}, {0x80, REG_RCX}, {0x88, REG_RDX}, {0x90, REG_RBX}, {0x98, REG_RSP}, {0xa0, REG_RBP},
      {0xa8, REG_RSI}, {0xb0, REG_RDI}, {0xb8, REG_R8},  {0xc0, REG_R9},  {0xc8, REG_R10}, {0xd0, REG_R11},
      {0xd8, REG_R12}, {0xe0, REG_R13}, {0xe8, REG_R14}, {0xf0, REG_R15}, {0xf8, REG_RIP}};
  for (const auto& [offset, index] : registers) {
    EXPECT_EQ(dump.U64(contextRva + offset), static_cast<std::uint64_t>(regs[index])) << "register " << index;
  }
  EXPECT_EQ(dump.U32(contextRva + 0x44), static_cast<std::uint32_t>(regs[REG_EFL]));
  EXPECT_EQ(dump.U16(contextRva + 0x38), 0x33u);  // cs
  EXPECT_EQ(dump.U16(contextRva + 0x3e), 0x55u);  // fs
  EXPECT_EQ(dump.U16(contextRva + 0x40), 0x63u);  // gs
  EXPECT_EQ(dump.U32(contextRva + 0x34), context.uc_mcontext.fpregs->mxcsr);
  EXPECT_EQ(dump.Bytes(contextRva + 0x100, 512),
            std::string(reinterpret_cast<const char*>(context.uc_mcontext.fpregs), 512));

  // The stack from just below the stack pointer, in the memory list and the thread entry alike.
  const auto ranges = dump.MemoryRanges();
  ASSERT_EQ(ranges.size(), 1u);
  const std::uint64_t stackPointer = static_cast<std::uint64_t>(regs[REG_RSP]);
  EXPECT_EQ(ranges[0].start, stackPointer - 128);
  EXPECT_EQ(dump.U64(thread + 24), ranges[0].start);
  EXPECT_EQ(dump.U32(thread + 32), ranges[0].bytes.size);
  EXPECT_EQ(dump.U32(thread + 36), ranges[0].bytes.rva);
  EXPECT_LE(ranges[0].bytes.size, 256u * 1024u);
  const std::string stack = dump.Bytes(ranges[0].bytes.rva, ranges[0].bytes.size);
  EXPECT_NE(stack.find(const_cast<const char*>(marker)), std::string::npos);

  // The system, as uname and the processor tell it.
  const auto system = dump.Stream(kSystemInfo);
  ASSERT_EQ(system.size, 56u);
  EXPECT_EQ(dump.U16(system.rva), 9u);
  EXPECT_EQ(dump.U32(system.rva + 20), 0x8201u);
  cpu_set_t cpus;
  ASSERT_EQ(sched_getaffinity(0, sizeof cpus, &cpus), 0);
  EXPECT_EQ(dump.U8(system.rva + 6), static_cast<std::uint8_t>(CPU_COUNT(&cpus)));
  utsname names;
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(dump.StringUtf8(dump.U32(system.rva + 24)),
            std::string(names.sysname) + " " + names.release + " " + names.version + " " + names.machine);
  unsigned major = 0, minor = 0, build = 0;
  ASSERT_EQ(std::sscanf(names.release, "%u.%u.%u", &major, &minor, &build), 3);
  EXPECT_EQ(dump.U32(system.rva + 8), major);
  EXPECT_EQ(dump.U32(system.rva + 12), minor);
  EXPECT_EQ(dump.U32(system.rva + 16), build);
  const std::string cpuInfo = PlinthTest::ReadFile("/proc/cpuinfo");
  EXPECT_NE(cpuInfo.find("vendor_id\t: " + dump.Bytes(system.rva + 32, 12) + "\n"), std::string::npos);
  unsigned eax, ebx, ecx, edx;
  ASSERT_NE(__get_cpuid(1, &eax, &ebx, &ecx, &edx), 0);
  EXPECT_EQ(dump.U32(system.rva + 44), eax);
  EXPECT_EQ(dump.U32(system.rva + 48), edx);
  EXPECT_NE(cpuInfo.find("cpu family\t: " + std::to_string(dump.U16(system.rva + 2)) + "\n"),
            std::string::npos);
  EXPECT_NE(cpuInfo.find("model\t\t: " + std::to_string(dump.U16(system.rva + 4) >> 8) + "\n"),
            std::string::npos);
  EXPECT_NE(cpuInfo.find("stepping\t: " + std::to_string(dump.U16(system.rva + 4) & 0xff) + "\n"),
            std::string::npos);

  const auto misc = dump.Stream(kMiscInfo);
  ASSERT_EQ(misc.size, 24u);
  EXPECT_EQ(dump.U32(misc.rva), 24u);
  EXPECT_EQ(dump.U32(misc.rva + 4) & 1u, 1u);
  EXPECT_EQ(dump.U32(misc.rva + 8), static_cast<std::uint32_t>(getpid()));

  // The process's own files, as they are.
  EXPECT_EQ(dump.StreamText(kCmdLine), PlinthTest::ReadFile("/proc/self/cmdline"));
  EXPECT_NE(dump.StreamText(kProcStatus).find("\nPid:\t" + std::to_string(getpid()) + "\n"),
            std::string::npos);
  const std::string auxv = dump.StreamText(kAuxv);
  ASSERT_EQ(auxv.size() % 16, 0u);
  bool pageSizeFound = false;
  for (std::size_t at = 0; at < auxv.size(); at += 16) {
    std::uint64_t entry[2];
    std::memcpy(entry, auxv.data() + at, sizeof entry);
    if (entry[0] == AT_PAGESZ) pageSizeFound = entry[1] == getauxval(AT_PAGESZ);
  }
  EXPECT_TRUE(pageSizeFound);
  const std::string maps = dump.StreamText(kMaps);
  EXPECT_NE(maps.find("[stack]"), std::string::npos);
  EXPECT_NE(maps.find(boost::filesystem::read_symlink("/proc/self/exe").string()), std::string::npos);
}

// Maps the file `path` holding `content` into memory, as a program may map any file.
void* MapFile(const boost::filesystem::path& path, const std::string& content) {
  boost::filesystem::ofstream(path, std::ios::binary) << content;
  const int fd = open(path.c_str(), O_RDONLY);
  void* mapped = mmap(nullptr, content.size(), PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  return mapped;
}

TEST_F(MinidumpWriterTest, ModulesAreTheLoadedObjectsWithTheirBuildIds) {
  // Mapped files that are no executable or shared library: text, a relocatable object, 32-bit ELF.
  std::string relocatable(sizeof(Elf64_Ehdr), '\0');
  std::memcpy(&relocatable[0], ELFMAG, SELFMAG);
  relocatable[EI_CLASS] = ELFCLASS64;
  relocatable[offsetof(Elf64_Ehdr, e_type)] = ET_REL;
  std::string elf32 = relocatable;
  elf32[EI_CLASS] = ELFCLASS32;
  elf32[offsetof(Elf64_Ehdr, e_type)] = ET_DYN;
  const std::pair<const char*, std::string> notModules[] = {
      {"notes.txt", std::string(100, 'x')}, {"object.o", relocatable}, {"elf32.so", elf32}};
  std::vector<void*> mappings;
  for (const auto& [name, content] : notModules) mappings.push_back(MapFile(folder / name, content));

  ucontext_t context;
  ASSERT_EQ(getcontext(&context), 0);
  siginfo_t info{};
  const bool written = WriteDump(context, SIGSEGV, info);
  for (std::size_t i = 0; i < mappings.size(); ++i) munmap(mappings[i], notModules[i].second.size());
  ASSERT_TRUE(written);

  MinidumpReader dump(dumpPath);
  const auto modules = dump.Modules();
  std::size_t checked = 0;
  for (const LoadedObject& object : LoadedObjects()) {
    if (object.path.empty() || object.path[0] != '/') continue;  // the vDSO has no file
    const auto* module = FindModule(modules, object.path);
    ASSERT_NE(module, nullptr) << object.path;
    EXPECT_EQ(module->base, object.base) << object.path;
    EXPECT_EQ(module->codeView.substr(0, 4), "LEpB");
    EXPECT_EQ(Hex(module->codeView.substr(4)), Hex(object.buildId)) << object.path;
    ++checked;
  }
  EXPECT_GE(checked, 3u);  // the test program, the C library and the loader at least

  // Each module covers its code: this function lies in the executable's module.
  const std::string executable = boost::filesystem::read_symlink("/proc/self/exe").string();
  const auto* self = FindModule(modules, executable);
  ASSERT_NE(self, nullptr);
  const auto here = reinterpret_cast<std::uint64_t>(&LoadedObjects);
  EXPECT_GE(here, self->base);
  EXPECT_LT(here, self->base + self->size);
  for (const auto& module : modules)
    EXPECT_NE(module.name.rfind(folder.Path().string(), 0), 0u) << module.name;
  // The module list is followed directly by the next stream's data, with no gap or padding.
  EXPECT_EQ(dump.Stream(kModuleList).size, 4u + modules.size() * 108u);
}

TEST_F(MinidumpWriterTest, ModuleNamesAreWrittenAsUtf16) {
  // A copy of a small library under a name with two-, three- and four-byte characters and a byte
  // that is no UTF-8 at all.
  const std::string name = "lib\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xff.so";
  const auto library = folder / name.c_str();
  std::string source;
  for (const LoadedObject& object : LoadedObjects()) {
    if (object.path.find("/libgcc_s.so") != std::string::npos) source = object.path;
  }
  ASSERT_FALSE(source.empty());
  boost::filesystem::copy_file(source, library);
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  ucontext_t context;
  ASSERT_EQ(getcontext(&context), 0);
  siginfo_t info{};
  const bool written = WriteDump(context, SIGSEGV, info);
  dlclose(handle);
  ASSERT_TRUE(written);

  MinidumpReader dump(dumpPath);
  const std::u16string folderName = [&] {
    std::u16string units;
    for (char c : folder.Path().string()) units += static_cast<char16_t>(static_cast<unsigned char>(c));
    return units;
  }();
  const std::u16string expected = folderName + u"/lib\u00e9\u20ac\U0001F600\uFFFD.so";
  bool found = false;
  const auto list = dump.Stream(kModuleList);
  for (std::uint32_t index = 0; index < dump.U32(list.rva); ++index) {
    found = found || dump.String16(dump.U32(list.rva + 4 + index * 108 + 20)) == expected;
  }
  EXPECT_TRUE(found);
}

TEST_F(MinidumpWriterTest, AFailedWriteReportsItsErrorNumber) {
  ucontext_t context;
  ASSERT_EQ(getcontext(&context), 0);
  siginfo_t info{};
  const CrashRecord record{SIGSEGV, &info, &context, ThreadId()};
  const int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  errno = 0;
  EXPECT_FALSE(Melvo::platform::WriteMinidump(full, record));
  EXPECT_EQ(errno, ENOSPC);
  close(full);

  const int readOnly = open("/proc/self/cmdline", O_RDONLY);
  errno = 0;
  EXPECT_FALSE(Melvo::platform::WriteMinidump(readOnly, record));
  EXPECT_EQ(errno, EBADF);
  close(readOnly);
}

// In a dump folder open to all, another user may plant a link or a file under the dump's name. The
// dump never goes through it: whatever is there is replaced by a fresh owner-only file, and when
// the folder does not allow that, no dump is written.
TEST_F(MinidumpWriterTest, ADumpNeverGoesIntoAnEntrySomeoneElsePlanted) {
  if (geteuid() != 0) GTEST_SKIP() << "planting as another user needs root";
  constexpr uid_t kNobody = 65534;
  ASSERT_EQ(chmod(folder.Path().c_str(), 01777), 0);
  const std::string victim = (folder / "victim").string();
  const std::string dump = (folder / "host.dmp").string();
  const auto asNobody = [](const std::function<void()>& plant) {
    PlinthTest::RunInChildProcess([&] {
      ASSERT_EQ(setgid(kNobody) | setuid(kNobody), 0);
      plant();
    });
  };
  const auto writeFile = [](const std::string& path, const char* text, mode_t mode) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    ASSERT_EQ(write(fd, text, std::strlen(text)), static_cast<ssize_t>(std::strlen(text)));
    fchmod(fd, mode);
    close(fd);
  };
  struct Case {
    const char* what;
    std::function<void()> plant;
  };
  const Case cases[] = {
      {"a link to another file",
       [&] { asNobody([&] { ASSERT_EQ(symlink(victim.c_str(), dump.c_str()), 0); }); }},
      {"a link to nothing yet", [&] { asNobody([&] { ASSERT_EQ(symlink("elsewhere", dump.c_str()), 0); }); }},
      {"a file others may read", [&] { asNobody([&] { writeFile(dump, "planted", 0666); }); }},
      {"a named pipe", [&] { asNobody([&] { ASSERT_EQ(mkfifo(dump.c_str(), 0666), 0); }); }},
      {"a second name of another file", [&] { ASSERT_EQ(link(victim.c_str(), dump.c_str()), 0); }},
      {"an earlier dump of its own", [&] { writeFile(dump, "an old dump, once readable by all", 0644); }},
  };
  ucontext_t context;
  ASSERT_EQ(getcontext(&context), 0);
  siginfo_t info{};
  CrashRecord record{SIGSEGV, &info, &context, ThreadId()};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writeFile(victim, "precious", 0600);
    unlink(dump.c_str());
    c.plant();
    ASSERT_EQ(Melvo::platform::WriteCrashDump(dump, &record).outcome,
              Melvo::platform::DumpResult::Outcome::Written);
    struct stat status {};
    ASSERT_EQ(lstat(dump.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_uid, 0u);
    EXPECT_EQ(status.st_nlink, 1u);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(MinidumpReader(dump).U32(0), 0x504d444du) << "the dump itself";
    EXPECT_TRUE(PlinthTest::ReadFile(victim) == "precious") << "the dump went into the other file";
  }

  // A process that may not remove what another user planted writes no dump at all.
  PlinthTest::RunInChildProcess([&] {
    writeFile(dump, "root's", 0644);
    ASSERT_EQ(setgid(kNobody) | setuid(kNobody), 0);
    EXPECT_EQ(Melvo::platform::WriteCrashDump(dump, &record).outcome,
              Melvo::platform::DumpResult::Outcome::FileNotCreated);
  });
  EXPECT_EQ(PlinthTest::ReadFile(dump), "root's");
}

// Where the other threads may not be traced (a process that is not dumpable, run by a user
// without the right to trace it anyway), the dump holds the crashing thread alone and says why.
TEST_F(MinidumpWriterTest, WithoutTracingTheDumpHoldsTheCrashingThreadAndSaysWhy) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer's run time cannot run in the helper that traces the threads";
#endif
  if (geteuid() != 0) GTEST_SKIP() << "becoming another user needs root";
  ASSERT_EQ(chmod(folder.Path().c_str(), 0777), 0);
  PlinthTest::RunInChildProcess([&] {
    std::thread(&ParkForever).detach();
    while (parked < 1) sched_yield();
    ASSERT_EQ(setgid(65534) | setuid(65534) | prctl(PR_SET_DUMPABLE, 0), 0);
    ucontext_t context;
    ASSERT_EQ(getcontext(&context), 0);
    siginfo_t info{};
    CrashRecord record{SIGSEGV, &info, &context, ThreadId()};
    const auto result = Melvo::platform::WriteCrashDump(dumpPath, &record);
    EXPECT_EQ(result.outcome, Melvo::platform::DumpResult::Outcome::Written);
    EXPECT_STREQ(result.missingThreads, "tracing the other threads was refused");
    EXPECT_EQ(result.missingThreadsError, static_cast<std::uint32_t>(EPERM));
    MinidumpReader dump(dumpPath);
    EXPECT_EQ(dump.U32(dump.Stream(kThreadList).rva), 1u);
  });
}

// Crashes in a child process with the platform's filter writing the dump.
std::string childDumpPath;

#ifdef PLINTH_COVERAGE_BUILD
extern "C" void __gcov_dump();
#endif

std::int32_t WriteDumpFilter(Melvo::platform::CrashRecord* crash) {
  using Melvo::platform::DumpResult;
  const bool written =
      Melvo::platform::WriteCrashDump(childDumpPath, crash).outcome == DumpResult::Outcome::Written;
#ifdef PLINTH_COVERAGE_BUILD
  // The child dies of its signal next, which writes no coverage counts.
  __gcov_dump();
#endif
  return written ? 1 : 0;
}

int* volatile nowhere = nullptr;
volatile int stopDepth = -1;
volatile int sink = 0;

__attribute__((noinline)) void WriteThroughNullPointer() {
  *nowhere = 42;
  sink = sink + 1;
}

__attribute__((noinline)) int RecurseWithoutEnd(int depth) {
  volatile char frame[512];
  frame[depth % sizeof frame] = static_cast<char>(depth);
  if (depth == stopDepth) return frame[0];
  const int below = RecurseWithoutEnd(depth + 1);
  return below + frame[depth % sizeof frame];
}

__attribute__((noinline)) void AbortOnPurpose() {
  std::abort();
  sink = sink + 1;
}

class PlatformCrashTest : public MinidumpWriterTest {
 protected:
  void SetUp() override { childDumpPath = dumpPath; }

  // Runs `crash` in a child that installed the filter; expects death by `signal` and a dump.
  void Crash(void (*crash)(), int signal) {
    status = PlinthTest::RunInChild(
        [crash] {
          Melvo::platform::InstallCrashFilter(&WriteDumpFilter);
          Melvo::platform::PrepareThreadForCrash();
          crash();
          sink = sink + 1;
        },
        &child);
    ASSERT_TRUE(WIFSIGNALED(status)) << PlinthTest::DescribeWaitStatus(status);
    ASSERT_EQ(WTERMSIG(status), signal);
    ASSERT_TRUE(boost::filesystem::exists(dumpPath));
  }

  int status = 0;
  int child = 0;
};

TEST_F(PlatformCrashTest, NullWriteDiesOfItsSignalWithADumpThatLldbReads) {
  Crash(&WriteThroughNullPointer, SIGSEGV);
  MinidumpReader dump(dumpPath);
  const auto exception = dump.Stream(kException);
  EXPECT_EQ(dump.U32(exception.rva), static_cast<std::uint32_t>(child));
  EXPECT_EQ(dump.U32(exception.rva + 8), static_cast<std::uint32_t>(SIGSEGV));
  EXPECT_EQ(dump.U32(exception.rva + 12), static_cast<std::uint32_t>(SEGV_MAPERR));
  EXPECT_EQ(dump.U64(exception.rva + 24), 0u);
  EXPECT_EQ(dump.U32(dump.Stream(kMiscInfo).rva + 8), static_cast<std::uint32_t>(child));

  const std::string backtrace = PlinthTest::LldbBacktrace(dumpPath);
  EXPECT_NE(backtrace.find("SIGSEGV"), std::string::npos) << backtrace;
  EXPECT_NE(InnermostFrame(backtrace).find("WriteThroughNullPointer"), std::string::npos) << backtrace;
  EXPECT_NE(backtrace.find("PlatformCrashTest_NullWrite"), std::string::npos) << backtrace;
}

// Every thread is in the dump, the crashing one first, each with its registers and stack, and lldb
// shows where each one stood.
TEST_F(PlatformCrashTest, EveryThreadIsInTheDumpTheCrashingOneFirst) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer's run time cannot run in the helper that traces the threads";
#endif
  Crash(
      [] {
        for (int started = 0; started < 3; ++started) std::thread(&ParkForever).detach();
        while (parked < 3) sched_yield();
        WriteThroughNullPointer();
      },
      SIGSEGV);
  MinidumpReader dump(dumpPath);
  const std::uint32_t list = dump.Stream(kThreadList).rva;
  // Four of the host's, and any of a checking build's run time.
  const std::uint32_t threads = dump.U32(list);
  ASSERT_GE(threads, 4u);
  EXPECT_EQ(dump.U32(list + 4), static_cast<std::uint32_t>(child));
  for (std::uint32_t thread = 0; thread < threads; ++thread) {
    const std::size_t entry = list + 4 + thread * 48;
    EXPECT_NE(dump.U32(entry + 28), 0u) << "the stack of thread " << thread;
    EXPECT_EQ(dump.U32(entry + 40), 1232u) << "the registers of thread " << thread;
    // A parked thread waits in a system call, whose instruction left the return address in rcx.
    const std::uint32_t registers = dump.U32(entry + 44);
    if (thread != 0) {
      EXPECT_EQ(dump.U64(registers + 128), dump.U64(registers + 248)) << "rcx, rip of " << thread;
    }
  }
  EXPECT_EQ(dump.MemoryRanges().size(), threads);
  const std::string backtrace = PlinthTest::LldbBacktrace(dumpPath, "thread backtrace all");
  std::size_t parkedThreads = 0;
  for (std::size_t at = 0; (at = backtrace.find("ParkForever", at)) != std::string::npos; ++at)
    ++parkedThreads;
  EXPECT_EQ(parkedThreads, 3u) << backtrace;
  EXPECT_NE(InnermostFrame(backtrace).find("WriteThroughNullPointer"), std::string::npos) << backtrace;
}

TEST_F(PlatformCrashTest, StackOverflowIsCaughtOnTheAlternateStack) {
  Crash([] { sink = RecurseWithoutEnd(0); }, SIGSEGV);
  MinidumpReader dump(dumpPath);
  // The stack pointer ran into the guard gap; the dump holds the stack mapping just above it.
  const auto ranges = dump.MemoryRanges();
  ASSERT_EQ(ranges.size(), 1u);
  const std::uint32_t contextRva = dump.U32(dump.Stream(kException).rva + 164);
  const std::uint64_t stackPointer = dump.U64(contextRva + 0x98);
  EXPECT_GT(ranges[0].start, stackPointer - 128);
  EXPECT_EQ(ranges[0].bytes.size, 256u * 1024u);
  const std::string maps = dump.StreamText(kMaps);
  char expectedStart[32];
  std::snprintf(expectedStart, sizeof expectedStart, "\n%llx-",
                static_cast<unsigned long long>(ranges[0].start));
  const std::size_t line = maps.find(expectedStart);
  ASSERT_NE(line, std::string::npos);
  EXPECT_NE(maps.substr(line, maps.find('\n', line + 1) - line).find("[stack]"), std::string::npos);

  const std::string backtrace = PlinthTest::LldbBacktrace(dumpPath);
  EXPECT_NE(InnermostFrame(backtrace).find("RecurseWithoutEnd"), std::string::npos) << backtrace;
}

TEST_F(PlatformCrashTest, EveryFatalSignalLeavesADumpAndEndsTheProcess) {
  for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP}) {
    boost::filesystem::remove(dumpPath);
    const int result = PlinthTest::RunInChild([signal] {
      Melvo::platform::InstallCrashFilter(&WriteDumpFilter);
      raise(signal);
    });
    EXPECT_TRUE(WIFSIGNALED(result) && WTERMSIG(result) == signal) << PlinthTest::DescribeWaitStatus(result);
    ASSERT_TRUE(boost::filesystem::exists(dumpPath)) << strsignal(signal);
    MinidumpReader dump(dumpPath);
    EXPECT_EQ(dump.U32(dump.Stream(kException).rva + 8), static_cast<std::uint32_t>(signal));
  }
  // Other signals keep their own handling.
  boost::filesystem::remove(dumpPath);
  const int result = PlinthTest::RunInChild([] {
    Melvo::platform::InstallCrashFilter(&WriteDumpFilter);
    raise(SIGTERM);
  });
  EXPECT_TRUE(WIFSIGNALED(result) && WTERMSIG(result) == SIGTERM) << PlinthTest::DescribeWaitStatus(result);
  EXPECT_FALSE(boost::filesystem::exists(dumpPath));
}

TEST(AlternateStackTest, EachPreparedThreadGetsOneLargeEnoughStackOnce) {
  auto current = [] {
    stack_t stack{};
    sigaltstack(nullptr, &stack);
    return stack;
  };
  stack_t first{};
  std::thread([&] {
    ASSERT_NE(current().ss_flags & SS_DISABLE, 0);
    ASSERT_TRUE(Melvo::platform::PrepareThreadForCrash());
    first = current();
    EXPECT_EQ(first.ss_flags & SS_DISABLE, 0);
    EXPECT_GE(first.ss_size, 256u * 1024u);
    ASSERT_TRUE(Melvo::platform::PrepareThreadForCrash());
    EXPECT_EQ(current().ss_sp, first.ss_sp);
  }).join();
  // The stack goes with its thread: its memory is no longer mapped.
  errno = 0;
  EXPECT_NE(msync(first.ss_sp, first.ss_size, MS_ASYNC), 0);
  EXPECT_EQ(errno, ENOMEM);

  // A thread's own stack is kept when it is large enough, replaced when it is too small.
  static char large[512 * 1024];
  static char exact[256 * 1024];
  static char small[16 * 1024];
  for (auto [memory, size, kept] :
       {std::make_tuple(large, sizeof large, true), std::make_tuple(exact, sizeof exact, true),
        std::make_tuple(small, sizeof small, false)}) {
    std::thread([&, memory = memory, size = size, kept = kept] {
      stack_t own{};
      own.ss_sp = memory;
      own.ss_size = size;
      ASSERT_EQ(sigaltstack(&own, nullptr), 0);
      ASSERT_TRUE(Melvo::platform::PrepareThreadForCrash());
      EXPECT_EQ(current().ss_sp == memory, kept);
      EXPECT_GE(current().ss_size, 256u * 1024u);
      if (kept) {
        stack_t disable{};
        disable.ss_flags = SS_DISABLE;
        sigaltstack(&disable, nullptr);
      }
    }).join();
  }

  // A thread whose stack cannot be mapped is told so and is left without one.
  const int status = PlinthTest::RunInChild([] {
    std::thread([] {
      rlimit noNewMappings{};
      getrlimit(RLIMIT_AS, &noNewMappings);
      noNewMappings.rlim_cur = 0;
      if (setrlimit(RLIMIT_AS, &noNewMappings) != 0) _exit(2);
      const bool prepared = Melvo::platform::PrepareThreadForCrash();
      stack_t stack{};
      sigaltstack(nullptr, &stack);
      _exit(!prepared && (stack.ss_flags & SS_DISABLE) != 0 ? 0 : 1);
    }).join();
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << PlinthTest::DescribeWaitStatus(status);
}

void CrashAtExit() {
  WriteThroughNullPointer();
}

TEST_F(PlatformCrashTest, ACrashAfterTheMainThreadsAlternateStackIsGoneStillLeavesADump) {
  // Handlers registered with atexit run after the main thread's thread-local objects are gone.
  status = PlinthTest::RunInChild([] {
    Melvo::platform::InstallCrashFilter(&WriteDumpFilter);
    std::atexit(&CrashAtExit);
    Melvo::platform::PrepareThreadForCrash();
    std::exit(0);
  });
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << PlinthTest::DescribeWaitStatus(status);
  EXPECT_TRUE(boost::filesystem::exists(dumpPath));
}

std::atomic<bool> secondThreadCrashing{false};

// Makes another thread crash while this thread's dump is being written, then writes it.
std::int32_t SlowFilter(Melvo::platform::CrashRecord* crash) {
  std::thread([] {
    secondThreadCrashing = true;
    WriteThroughNullPointer();
  }).detach();
  while (!secondThreadCrashing) {
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  return WriteDumpFilter(crash);
}

TEST_F(PlatformCrashTest, ASecondCrashingThreadWaitsForTheFirstDump) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer defers and re-delivers signals itself, so the second crash does not "
                  "reach the waiting filter as it would in a plain process";
#endif
  const int result = PlinthTest::RunInChild([] {
    Melvo::platform::InstallCrashFilter(&SlowFilter);
    AbortOnPurpose();
  });
  ASSERT_TRUE(WIFSIGNALED(result)) << PlinthTest::DescribeWaitStatus(result);
  EXPECT_EQ(WTERMSIG(result), SIGABRT);
  MinidumpReader dump(dumpPath);
  EXPECT_EQ(dump.U32(dump.Stream(kException).rva + 8), static_cast<std::uint32_t>(SIGABRT));
}

}  // namespace
