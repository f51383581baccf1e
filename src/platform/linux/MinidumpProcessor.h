// What the minidump writer needs of the processor it runs on: a thread's registers as the format
// records them for that processor, and the processor's part of the system information. Each
// processor the writer supports has one file, MinidumpProcessor<name>.cpp, and porting the writer
// to another processor means writing that one file. Both functions are safe in a signal handler.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/user.h>
#include <ucontext.h>

#include "platform/linux/MinidumpFormat.h"

namespace Melvo::platform::minidump {

// Room for the largest context record of a supported processor.
constexpr std::size_t kMaxContextSize = 2048;

// A thread's registers in the format's context record for this processor.
struct ThreadContext {
  std::uint8_t record[kMaxContextSize];
  std::size_t size;  // of the record's bytes in use
  std::uint64_t stackPointer;
};

// Records the registers that the signal which interrupted a thread saved in `source`.
void CaptureContext(const ucontext_t& source, ThreadContext& context);
// Records the registers of a thread stopped by a tracer.
void CaptureContext(const user_regs_struct& registers, const user_fpregs_struct& floatingPoint,
                    ThreadContext& context);

// Fills in the processor's fields of the system information: architecture, identity, features.
void DescribeProcessor(SystemInfo& info);

}  // namespace Melvo::platform::minidump
