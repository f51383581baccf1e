// The x86-64 half of the minidump writer: the AMD64 context record and the processor's identity
// from CPUID.
#include "platform/linux/MinidumpProcessor.h"

#include <cstring>

#include <cpuid.h>

#if !defined(__x86_64__)
#error "This file records the registers of x86-64 processors"
#endif

namespace Melvo::platform::minidump {
namespace {

constexpr std::uint16_t kArchitectureAmd64 = 9;
// AMD64 context with its control, integer and floating-point registers.
constexpr std::uint32_t kContextAmd64 = 0x00100000;
constexpr std::uint32_t kContextControl = kContextAmd64 | 0x1;
constexpr std::uint32_t kContextInteger = kContextAmd64 | 0x2;
constexpr std::uint32_t kContextFloatingPoint = kContextAmd64 | 0x8;

struct Amd64Context {
  std::uint64_t homes[6];
  std::uint32_t contextFlags;
  std::uint32_t mxcsr;
  std::uint16_t cs, ds, es, fs, gs, ss;
  std::uint32_t eflags;
  std::uint64_t debugRegisters[6];
  std::uint64_t rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi;
  std::uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
  std::uint64_t rip;
  std::uint8_t floatingPointSave[512];
  std::uint8_t vectorRegisters[26 * 16];
  std::uint64_t vectorControl;
  std::uint64_t debugControl;
  std::uint64_t lastBranchToRip;
  std::uint64_t lastBranchFromRip;
  std::uint64_t lastExceptionToRip;
  std::uint64_t lastExceptionFromRip;
};

static_assert(sizeof(Amd64Context) == 1232 && sizeof(Amd64Context) <= kMaxContextSize);

// Completes `context` with the control and integer flags and, when there are any, the
// floating-point registers in their FXSAVE layout, and hands it over.
void Store(Amd64Context& context, const void* fxsave, ThreadContext& captured) {
  context.contextFlags = kContextControl | kContextInteger;
  if (fxsave != nullptr) {
    context.contextFlags |= kContextFloatingPoint;
    std::memcpy(context.floatingPointSave, fxsave, sizeof context.floatingPointSave);
    std::memcpy(&context.mxcsr, static_cast<const char*>(fxsave) + 24, sizeof context.mxcsr);
  }
  std::memcpy(captured.record, &context, sizeof context);
  captured.size = sizeof context;
  captured.stackPointer = context.rsp;
}

}  // namespace

void CaptureContext(const ucontext_t& source, ThreadContext& captured) {
  const greg_t* registers = source.uc_mcontext.gregs;
  auto reg = [registers](int index) { return static_cast<std::uint64_t>(registers[index]); };
  const std::uint64_t segments = reg(REG_CSGSFS);
  Amd64Context context{};
  context.rax = reg(REG_RAX);
  context.rcx = reg(REG_RCX);
  context.rdx = reg(REG_RDX);
  context.rbx = reg(REG_RBX);
  context.rsp = reg(REG_RSP);
  context.rbp = reg(REG_RBP);
  context.rsi = reg(REG_RSI);
  context.rdi = reg(REG_RDI);
  context.r8 = reg(REG_R8);
  context.r9 = reg(REG_R9);
  context.r10 = reg(REG_R10);
  context.r11 = reg(REG_R11);
  context.r12 = reg(REG_R12);
  context.r13 = reg(REG_R13);
  context.r14 = reg(REG_R14);
  context.r15 = reg(REG_R15);
  context.rip = reg(REG_RIP);
  context.eflags = static_cast<std::uint32_t>(reg(REG_EFL));
  context.cs = static_cast<std::uint16_t>(segments);
  context.gs = static_cast<std::uint16_t>(segments >> 16);
  context.fs = static_cast<std::uint16_t>(segments >> 32);
  static_assert(sizeof(*source.uc_mcontext.fpregs) == sizeof context.floatingPointSave);
  Store(context, source.uc_mcontext.fpregs, captured);
}

void CaptureContext(const user_regs_struct& registers, const user_fpregs_struct& floatingPoint,
                    ThreadContext& captured) {
  Amd64Context context{};
  context.rax = registers.rax;
  context.rcx = registers.rcx;
  context.rdx = registers.rdx;
  context.rbx = registers.rbx;
  context.rsp = registers.rsp;
  context.rbp = registers.rbp;
  context.rsi = registers.rsi;
  context.rdi = registers.rdi;
  context.r8 = registers.r8;
  context.r9 = registers.r9;
  context.r10 = registers.r10;
  context.r11 = registers.r11;
  context.r12 = registers.r12;
  context.r13 = registers.r13;
  context.r14 = registers.r14;
  context.r15 = registers.r15;
  context.rip = registers.rip;
  context.eflags = static_cast<std::uint32_t>(registers.eflags);
  context.cs = static_cast<std::uint16_t>(registers.cs);
  context.ss = static_cast<std::uint16_t>(registers.ss);
  context.ds = static_cast<std::uint16_t>(registers.ds);
  context.es = static_cast<std::uint16_t>(registers.es);
  context.fs = static_cast<std::uint16_t>(registers.fs);
  context.gs = static_cast<std::uint16_t>(registers.gs);
  static_assert(sizeof floatingPoint == sizeof context.floatingPointSave);
  Store(context, &floatingPoint, captured);
}

void DescribeProcessor(SystemInfo& info) {
  info.processorArchitecture = kArchitectureAmd64;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) != 0) {
    info.vendorId[0] = ebx;
    info.vendorId[1] = edx;
    info.vendorId[2] = ecx;
  }
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0) {
    info.versionInformation = eax;
    info.featureInformation = edx;
    const unsigned family = (eax >> 8) & 0xf;
    const unsigned model = ((eax >> 4) & 0xf) | (family == 6 || family == 15 ? ((eax >> 12) & 0xf0) : 0);
    info.processorLevel = static_cast<std::uint16_t>(family == 15 ? family + ((eax >> 20) & 0xff) : family);
    info.processorRevision = static_cast<std::uint16_t>((model << 8) | (eax & 0xf));
  }
  if (__get_cpuid(0x80000001, &eax, &ebx, &ecx, &edx) != 0) info.amdExtendedFeatures = ecx;
}

}  // namespace Melvo::platform::minidump
