// The minidump file format, the crash-dump format of the Windows debuggers that lldb and other
// tools read: its stream types and the structures of the streams the Linux dump writer fills in.
// Little-endian, and laid out exactly as these structures are in memory on the processors the
// writer supports.
#pragma once

#include <cstdint>

namespace Melvo::platform::minidump {

constexpr std::uint32_t kSignature = 0x504d444d;  // "MDMP"
constexpr std::uint32_t kFormatVersion = 0xa793;
constexpr std::uint32_t kThreadListStream = 3;
constexpr std::uint32_t kModuleListStream = 4;
constexpr std::uint32_t kMemoryListStream = 5;
constexpr std::uint32_t kExceptionStream = 6;
constexpr std::uint32_t kSystemInfoStream = 7;
constexpr std::uint32_t kMiscInfoStream = 15;
constexpr std::uint32_t kLinuxProcStatusStream = 0x47670004;
constexpr std::uint32_t kLinuxCmdLineStream = 0x47670006;
constexpr std::uint32_t kLinuxAuxvStream = 0x47670008;
constexpr std::uint32_t kLinuxMapsStream = 0x47670009;
constexpr std::uint32_t kStreamCount = 10;

constexpr std::uint32_t kPlatformLinux = 0x8201;
constexpr std::uint32_t kMiscInfoHasProcessId = 1;
constexpr std::uint32_t kElfBuildIdSignature = 0x4270454c;  // "LEpB"

struct Location {
  std::uint32_t dataSize;
  std::uint32_t rva;
};

struct Header {
  std::uint32_t signature;
  std::uint32_t version;
  std::uint32_t streamCount;
  std::uint32_t directoryRva;
  std::uint32_t checksum;
  std::uint32_t timeDateStamp;
  std::uint64_t flags;
};

struct DirectoryEntry {
  std::uint32_t streamType;
  Location location;
};

struct MemoryDescriptor {
  std::uint64_t start;
  Location memory;
};

struct ThreadEntry {
  std::uint32_t threadId;
  std::uint32_t suspendCount;
  std::uint32_t priorityClass;
  std::uint32_t priority;
  std::uint64_t teb;
  MemoryDescriptor stack;
  Location context;
};

#pragma pack(push, 4)
struct ModuleEntry {
  std::uint64_t base;
  std::uint32_t size;
  std::uint32_t checksum;
  std::uint32_t timeDateStamp;
  std::uint32_t nameRva;
  std::uint32_t versionInfo[13];
  Location codeViewRecord;
  Location miscRecord;
  std::uint64_t reserved0;
  std::uint64_t reserved1;
};
#pragma pack(pop)

struct ExceptionEntry {
  std::uint32_t threadId;
  std::uint32_t alignment;
  std::uint32_t code;
  std::uint32_t flags;
  std::uint64_t nestedRecord;
  std::uint64_t address;
  std::uint32_t parameterCount;
  std::uint32_t unusedAlignment;
  std::uint64_t parameters[15];
  Location context;
};

struct SystemInfo {
  std::uint16_t processorArchitecture;
  std::uint16_t processorLevel;
  std::uint16_t processorRevision;
  std::uint8_t processorCount;
  std::uint8_t productType;
  std::uint32_t majorVersion;
  std::uint32_t minorVersion;
  std::uint32_t buildNumber;
  std::uint32_t platformId;
  std::uint32_t csdVersionRva;
  std::uint16_t suiteMask;
  std::uint16_t reserved;
  std::uint32_t vendorId[3];
  std::uint32_t versionInformation;
  std::uint32_t featureInformation;
  std::uint32_t amdExtendedFeatures;
};

struct MiscInfo {
  std::uint32_t size;
  std::uint32_t flags;
  std::uint32_t processId;
  std::uint32_t processCreateTime;
  std::uint32_t processUserTime;
  std::uint32_t processKernelTime;
};

static_assert(sizeof(Header) == 32 && sizeof(DirectoryEntry) == 12 && sizeof(MemoryDescriptor) == 16);
static_assert(sizeof(ThreadEntry) == 48 && sizeof(ModuleEntry) == 108 && sizeof(ExceptionEntry) == 168);
static_assert(sizeof(SystemInfo) == 56 && sizeof(MiscInfo) == 24);

}  // namespace Melvo::platform::minidump
