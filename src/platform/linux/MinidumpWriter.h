// Writes a minidump, the crash-dump format of the Windows debuggers that lldb and other tools read,
// of the running process from inside a fatal-signal handler. Only the crashing thread's registers
// can be had without a helper process, so the dump holds that one thread.
#pragma once

#include <sys/types.h>
#include <ucontext.h>
#include <csignal>

namespace Melvo::platform {

struct CrashRecord {
  int signal;
  const siginfo_t* info;
  const ucontext_t* context;
  pid_t threadId;
};

// Writes the dump for `crash` into the open file `fd`, from its start: the crashing thread's
// registers and stack, the signal, the system and CPU, the mapped executables and shared libraries
// with their build ids, and the process's status, command line, auxiliary vector and memory map.
// Safe in a signal handler (no heap, no lock; system calls and static storage only), and so
// not reentrant: one dump at a time. False with errno set when writing the file failed.
bool WriteMinidump(int fd, const CrashRecord& crash);

}  // namespace Melvo::platform
