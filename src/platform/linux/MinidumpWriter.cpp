#include "platform/linux/MinidumpWriter.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>

#include <elf.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "platform/linux/MinidumpFormat.h"
#include "platform/linux/MinidumpProcessor.h"

namespace Melvo::platform {
namespace {

using namespace minidump;

// Limits of the static storage; a process beyond them gets a dump with what fits.
constexpr std::size_t kMaxMapsText = 1 << 20;
constexpr std::size_t kMaxModules = 1024;
constexpr std::size_t kMaxBuildId = 64;
constexpr std::size_t kMaxStackBytes = 256 * 1024;
// Below the stack pointer, leaf functions may keep data in a red zone that the dump should show.
constexpr std::uint64_t kRedZone = 128;

// The dump file, written at explicit offsets; remembers the first failed write.
class DumpFile {
 public:
  explicit DumpFile(int fd) : fd_(fd) {}

  std::uint32_t Reserve(std::size_t size) {
    const std::uint32_t at = end_;
    end_ += static_cast<std::uint32_t>(size);
    return at;
  }

  void WriteAt(std::uint32_t rva, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size && error_ == 0) {
      // A raw system call: a sanitizer's pwrite would object to the stack's poisoned red zones.
      const ssize_t written =
          syscall(SYS_pwrite64, fd_, bytes + done, size - done, static_cast<off_t>(rva + done));
      if (written > 0) {
        done += static_cast<std::size_t>(written);
      } else if (written < 0 && errno == EINTR) {
        continue;
      } else {
        error_ = written < 0 ? errno : EIO;
      }
    }
  }

  Location Append(const void* data, std::size_t size) {
    const Location location{static_cast<std::uint32_t>(size), Reserve(size)};
    WriteAt(location.rva, data, size);
    return location;
  }

  int Error() const { return error_; }

 private:
  int fd_;
  std::uint32_t end_ = 0;
  int error_ = 0;
};

// Static storage of the one dump being written.
char mapsText[kMaxMapsText];
std::size_t mapsLength = 0;
char copyBuffer[64 * 1024];
char16_t stringBuffer[4096 + 2];
char pathBuffer[4096];

struct Module {
  std::uint64_t base;
  std::uint64_t end;
  const char* path;
  std::size_t pathLength;
  std::uint8_t buildId[kMaxBuildId];
  std::size_t buildIdLength;
};
Module modules[kMaxModules];
std::size_t moduleCount = 0;

// Reads as much of `path` as fits into `buffer`; the number of bytes read.
std::size_t ReadWholeFile(const char* path, char* buffer, std::size_t capacity) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::size_t length = 0;
  while (length < capacity) {
    const ssize_t got = read(fd, buffer + length, capacity - length);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    length += static_cast<std::size_t>(got);
  }
  close(fd);
  return length;
}

// Copies a file into the dump as it is; files of /proc report no size, so it is read to the end.
Location AppendFile(DumpFile& dump, const char* path) {
  Location location{0, dump.Reserve(0)};
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return location;
  for (;;) {
    const ssize_t got = read(fd, copyBuffer, sizeof copyBuffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    dump.Append(copyBuffer, static_cast<std::size_t>(got));
    location.dataSize += static_cast<std::uint32_t>(got);
  }
  close(fd);
  return location;
}

// Writes `text` (UTF-8) as the format's string: a byte length, UTF-16 text and a terminator.
// Bytes that are not UTF-8 become U+FFFD.
std::uint32_t AppendString(DumpFile& dump, const char* text, std::size_t length) {
  constexpr std::size_t kMaxUnits = sizeof stringBuffer / sizeof stringBuffer[0] - 2;
  std::size_t units = 0;
  std::size_t i = 0;
  while (i < length && units + 2 <= kMaxUnits) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t extra = lead < 0x80           ? 0
                        : (lead >> 5) == 0x6  ? 1
                        : (lead >> 4) == 0xe  ? 2
                        : (lead >> 3) == 0x1e ? 3
                                              : 4;
    char32_t code = extra == 0   ? lead
                    : extra == 1 ? (lead & 0x1fu)
                    : extra == 2 ? (lead & 0x0fu)
                                 : (lead & 0x07u);
    bool valid = extra < 4 && i + extra < length;
    for (std::size_t k = 1; valid && k <= extra; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xc0u) == 0x80u;
      code = (code << 6) | (next & 0x3fu);
    }
    if (!valid || code > 0x10ffff) {
      code = 0xfffd;
      extra = 0;
    }
    i += extra + 1;
    if (code >= 0x10000) {
      code -= 0x10000;
      stringBuffer[2 + units++] = static_cast<char16_t>(0xd800 + (code >> 10));
      stringBuffer[2 + units++] = static_cast<char16_t>(0xdc00 + (code & 0x3ff));
    } else {
      stringBuffer[2 + units++] = static_cast<char16_t>(code);
    }
  }
  const std::uint32_t byteLength = static_cast<std::uint32_t>(units * sizeof(char16_t));
  std::memcpy(stringBuffer, &byteLength, sizeof byteLength);
  stringBuffer[2 + units] = u'\0';
  return dump.Append(stringBuffer, sizeof byteLength + (units + 1) * sizeof(char16_t)).rva;
}

std::uint64_t ParseHex(const char*& at, const char* end) {
  std::uint64_t value = 0;
  for (; at < end; ++at) {
    const char c = *at;
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) break;
    value = value * 16 + static_cast<std::uint64_t>(digit);
  }
  return value;
}

void SkipField(const char*& at, const char* end) {
  while (at < end && *at != ' ') ++at;
  while (at < end && *at == ' ') ++at;
}

// One line of /proc/self/maps: "start-end perms offset dev inode   path".
struct Mapping {
  std::uint64_t start;
  std::uint64_t end;
  std::uint64_t offset;
  bool readable;
  const char* path;
  std::size_t pathLength;
};

// Parses the line that begins at `at`; returns the start of the next line.
const char* ParseMapping(const char* at, const char* end, Mapping& mapping) {
  const char* lineEnd = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
  if (lineEnd == nullptr) lineEnd = end;
  mapping.start = ParseHex(at, lineEnd);
  if (at < lineEnd) ++at;  // '-'
  mapping.end = ParseHex(at, lineEnd);
  while (at < lineEnd && *at == ' ') ++at;
  mapping.readable = at < lineEnd && *at == 'r';
  SkipField(at, lineEnd);
  mapping.offset = ParseHex(at, lineEnd);
  SkipField(at, lineEnd);  // offset
  SkipField(at, lineEnd);  // device
  SkipField(at, lineEnd);  // inode
  mapping.path = at;
  mapping.pathLength = static_cast<std::size_t>(lineEnd - at);
  return lineEnd < end ? lineEnd + 1 : end;
}

// Reads the GNU build id from the ELF file `path`; false when it is no 64-bit ELF executable or
// shared library.
bool ReadElfIdentity(const char* path, Module& module) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  Elf64_Ehdr header;
  bool isElf = pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
               std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 && header.e_ident[EI_CLASS] == ELFCLASS64 &&
               (header.e_type == ET_EXEC || header.e_type == ET_DYN);
  module.buildIdLength = 0;
  for (unsigned index = 0; isElf && index < header.e_phnum && module.buildIdLength == 0; ++index) {
    Elf64_Phdr segment;
    const off_t at =
        static_cast<off_t>(header.e_phoff + index * static_cast<std::uint64_t>(header.e_phentsize));
    if (pread(fd, &segment, sizeof segment, at) != static_cast<ssize_t>(sizeof segment)) break;
    if (segment.p_type != PT_NOTE) continue;
    const std::size_t size = segment.p_filesz < sizeof copyBuffer ? segment.p_filesz : sizeof copyBuffer;
    const ssize_t got = pread(fd, copyBuffer, size, static_cast<off_t>(segment.p_offset));
    if (got <= 0) continue;
    const std::size_t align = segment.p_align == 8 ? 8 : 4;
    std::size_t note = 0;
    while (note + sizeof(Elf64_Nhdr) <= static_cast<std::size_t>(got)) {
      Elf64_Nhdr noteHeader;
      std::memcpy(&noteHeader, copyBuffer + note, sizeof noteHeader);
      const std::size_t name = note + sizeof noteHeader;
      const std::size_t desc = name + ((noteHeader.n_namesz + align - 1) & ~(align - 1));
      if (desc + noteHeader.n_descsz > static_cast<std::size_t>(got)) break;
      if (noteHeader.n_type == NT_GNU_BUILD_ID && noteHeader.n_namesz == 4 &&
          std::memcmp(copyBuffer + name, "GNU", 4) == 0 && noteHeader.n_descsz <= kMaxBuildId) {
        std::memcpy(module.buildId, copyBuffer + desc, noteHeader.n_descsz);
        module.buildIdLength = noteHeader.n_descsz;
        break;
      }
      note = desc + ((noteHeader.n_descsz + align - 1) & ~(align - 1));
    }
  }
  close(fd);
  return isElf;
}

// The executables and shared libraries in the memory map: each starts at the mapping of its
// file's offset 0 and ends with the last of the adjoining mappings of the same file.
void FindModules() {
  moduleCount = 0;
  Module* current = nullptr;
  for (const char* at = mapsText; at < mapsText + mapsLength;) {
    Mapping mapping;
    at = ParseMapping(at, mapsText + mapsLength, mapping);
    if (mapping.pathLength == 0 || mapping.path[0] != '/') {
      continue;
    }
    if (current != nullptr && mapping.pathLength == current->pathLength &&
        std::memcmp(mapping.path, current->path, mapping.pathLength) == 0) {
      current->end = mapping.end;
      continue;
    }
    current = nullptr;
    if (mapping.offset != 0 || moduleCount == kMaxModules || mapping.pathLength >= sizeof pathBuffer)
      continue;
    std::memcpy(pathBuffer, mapping.path, mapping.pathLength);
    pathBuffer[mapping.pathLength] = '\0';
    Module& module = modules[moduleCount];
    if (!ReadElfIdentity(pathBuffer, module)) continue;
    module.base = mapping.start;
    module.end = mapping.end;
    module.path = mapping.path;
    module.pathLength = mapping.pathLength;
    current = &modules[moduleCount++];
  }
}

// The stack bytes worth keeping: from just below the stack pointer up through its mapping. A stack
// pointer that overflowed into the guard gap lies outside any readable mapping; the nearest one
// above it is the stack it ran out of.
bool FindStack(std::uint64_t stackPointer, std::uint64_t& start, std::uint64_t& end) {
  const std::uint64_t low = stackPointer > kRedZone ? stackPointer - kRedZone : 0;
  for (const char* at = mapsText; at < mapsText + mapsLength;) {
    Mapping mapping;
    at = ParseMapping(at, mapsText + mapsLength, mapping);
    if (!mapping.readable || mapping.end <= low) continue;
    start = low > mapping.start ? low : mapping.start;
    end = mapping.end - start > kMaxStackBytes ? start + kMaxStackBytes : mapping.end;
    return true;
  }
  return false;
}

// "Linux 6.1.0-18-amd64 #1 SMP ... x86_64"; version numbers from the release text.
Location AppendSystemInfo(DumpFile& dump) {
  SystemInfo info{};
  DescribeProcessor(info);
  info.platformId = kPlatformLinux;

  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (syscall(SYS_sched_getaffinity, 0, sizeof cpus, &cpus) > 0) {
    const int count = CPU_COUNT(&cpus);
    info.processorCount = static_cast<std::uint8_t>(count > 255 ? 255 : count);
  }

  const std::uint32_t rva = dump.Reserve(sizeof info);
  struct utsname system;
  if (uname(&system) == 0) {
    const char* at = system.release;
    const char* end = at + std::strlen(at);
    std::uint32_t* parts[] = {&info.majorVersion, &info.minorVersion, &info.buildNumber};
    for (std::uint32_t* part : parts) {
      for (; at < end && *at >= '0' && *at <= '9'; ++at)
        *part = *part * 10 + static_cast<std::uint32_t>(*at - '0');
      if (at == end || *at != '.') break;
      ++at;
    }
    char* text = copyBuffer;
    std::size_t length = 0;
    const char* pieces[] = {system.sysname, " ", system.release, " ", system.version, " ", system.machine};
    for (const char* piece : pieces) {
      const std::size_t pieceLength = std::strlen(piece);
      std::memcpy(text + length, piece, pieceLength);
      length += pieceLength;
    }
    info.csdVersionRva = AppendString(dump, text, length);
  }
  dump.WriteAt(rva, &info, sizeof info);
  return Location{sizeof info, rva};
}

Location AppendModuleList(DumpFile& dump) {
  const std::uint32_t count = static_cast<std::uint32_t>(moduleCount);
  const Location list = dump.Append(&count, sizeof count);
  const std::uint32_t entries = dump.Reserve(moduleCount * sizeof(ModuleEntry));
  for (std::size_t index = 0; index < moduleCount; ++index) {
    const Module& module = modules[index];
    ModuleEntry entry{};
    entry.base = module.base;
    entry.size = static_cast<std::uint32_t>(module.end - module.base);
    entry.nameRva = AppendString(dump, module.path, module.pathLength);
    std::uint8_t codeView[4 + kMaxBuildId];
    std::memcpy(codeView, &kElfBuildIdSignature, 4);
    std::memcpy(codeView + 4, module.buildId, module.buildIdLength);
    entry.codeViewRecord = dump.Append(codeView, 4 + module.buildIdLength);
    dump.WriteAt(static_cast<std::uint32_t>(entries + index * sizeof entry), &entry, sizeof entry);
  }
  return Location{static_cast<std::uint32_t>(sizeof count + moduleCount * sizeof(ModuleEntry)), list.rva};
}

}  // namespace

bool WriteMinidump(int fd, const CrashRecord& crash, const StoppedThread* othersBegin,
                   const StoppedThread* othersEnd) {
  DumpFile dump(fd);
  const std::uint32_t headerRva = dump.Reserve(sizeof(Header));
  DirectoryEntry directory[kStreamCount] = {};
  const std::uint32_t directoryRva = dump.Reserve(sizeof directory);
  std::size_t stream = 0;

  mapsLength = ReadWholeFile("/proc/self/maps", mapsText, sizeof mapsText);
  FindModules();

  // Every thread: its registers and its stack, the crashing one first. Its registers serve the
  // exception stream too.
  static ThreadEntry threads[1 + kMaxOtherThreads];
  static MemoryDescriptor stacks[1 + kMaxOtherThreads];
  std::uint32_t threadCount = 0;
  std::uint32_t stackCount = 0;
  static ThreadContext context;
  const auto addThread = [&](pid_t id) {
    ThreadEntry& thread = threads[threadCount++];
    thread = ThreadEntry{};
    thread.threadId = static_cast<std::uint32_t>(id);
    thread.context = dump.Append(context.record, context.size);
    std::uint64_t stackStart = 0;
    std::uint64_t stackEnd = 0;
    if (FindStack(context.stackPointer, stackStart, stackEnd)) {
      thread.stack.start = stackStart;
      thread.stack.memory = dump.Append(reinterpret_cast<const void*>(stackStart), stackEnd - stackStart);
      stacks[stackCount++] = thread.stack;
    }
  };
  CaptureContext(*crash.context, context);
  addThread(crash.threadId);
  const Location contextLocation = threads[0].context;
  for (const StoppedThread* other = othersBegin; other != othersEnd && threadCount < 1 + kMaxOtherThreads;
       ++other) {
    CaptureContext(other->registers, other->floatingPoint, context);
    addThread(other->id);
  }
  const std::uint32_t threadList = dump.Append(&threadCount, sizeof threadCount).rva;
  dump.Append(threads, threadCount * sizeof(ThreadEntry));
  directory[stream++] = {
      kThreadListStream,
      {static_cast<std::uint32_t>(sizeof threadCount + threadCount * sizeof(ThreadEntry)), threadList}};

  directory[stream++] = {kModuleListStream, AppendModuleList(dump)};

  const std::uint32_t memoryList = dump.Append(&stackCount, sizeof stackCount).rva;
  dump.Append(stacks, stackCount * sizeof(MemoryDescriptor));
  directory[stream++] = {
      kMemoryListStream,
      {static_cast<std::uint32_t>(sizeof stackCount + stackCount * sizeof(MemoryDescriptor)), memoryList}};

  ExceptionEntry exception{};
  exception.threadId = threads[0].threadId;
  exception.code = static_cast<std::uint32_t>(crash.signal);
  if (crash.info != nullptr) {
    exception.flags = static_cast<std::uint32_t>(crash.info->si_code);
    // A signal sent by a process (kill, raise, abort) has no fault address.
    if (crash.info->si_code > 0) exception.address = reinterpret_cast<std::uint64_t>(crash.info->si_addr);
  }
  exception.context = contextLocation;
  directory[stream++] = {kExceptionStream, dump.Append(&exception, sizeof exception)};

  directory[stream++] = {kSystemInfoStream, AppendSystemInfo(dump)};

  MiscInfo misc{};
  misc.size = sizeof misc;
  misc.flags = kMiscInfoHasProcessId;
  misc.processId = static_cast<std::uint32_t>(getpid());
  directory[stream++] = {kMiscInfoStream, dump.Append(&misc, sizeof misc)};

  directory[stream++] = {kLinuxProcStatusStream, AppendFile(dump, "/proc/self/status")};
  directory[stream++] = {kLinuxCmdLineStream, AppendFile(dump, "/proc/self/cmdline")};
  directory[stream++] = {kLinuxAuxvStream, AppendFile(dump, "/proc/self/auxv")};
  directory[stream++] = {kLinuxMapsStream, dump.Append(mapsText, mapsLength)};

  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const Header header{
      kSignature, kFormatVersion, kStreamCount, directoryRva, 0, static_cast<std::uint32_t>(now.tv_sec), 0};
  dump.WriteAt(headerRva, &header, sizeof header);
  dump.WriteAt(directoryRva, directory, sizeof directory);
  if (dump.Error() != 0) {
    errno = dump.Error();
    return false;
  }
  return true;
}

}  // namespace Melvo::platform
