// Writes a minidump, the crash-dump format of the Windows debuggers that lldb and other tools read,
// of the running process from inside a fatal-signal handler: the crashing thread, and the other
// threads that a helper process stopped (see OtherThreads.h).
#pragma once

#include <sys/types.h>
#include <ucontext.h>
#include <csignal>

#include "platform/linux/OtherThreads.h"

namespace Melvo::platform {

struct CrashRecord {
  int signal;
  const siginfo_t* info;
  const ucontext_t* context;
  pid_t threadId;
};

// Writes the dump for `crash` into the open file `fd`, from its start: the crashing thread's
// registers and stack, then those of the stopped threads from `othersBegin` to `othersEnd`, the signal, the
// system and CPU, the mapped executables and shared libraries with their build ids, and the process's status,
// command line, auxiliary vector and memory map. Safe in a signal handler (no heap, no lock; system calls and
// static storage only), and so not reentrant: one dump at a time. False with errno set when writing the file
// failed.
bool WriteMinidump(int fd, const CrashRecord& crash, const StoppedThread* othersBegin = nullptr,
                   const StoppedThread* othersEnd = nullptr);

}  // namespace Melvo::platform
