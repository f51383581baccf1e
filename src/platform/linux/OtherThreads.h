// The registers of the process's other threads at a crash, for a dump of every thread. Linux lets
// no thread trace the threads of its own process, so a helper process that shares the process's
// memory stops them with ptrace and reads their registers; they stay stopped, their stacks still,
// while the dump is written, and go on (to die with the process) once the object is gone.
#pragma once

#include <cstddef>

#include <sys/types.h>
#include <sys/user.h>

namespace Melvo::platform {

// The most threads besides the crashing one that are stopped, and that a dump holds.
constexpr std::size_t kMaxOtherThreads = 512;

// One of the other threads, stopped.
struct StoppedThread {
  pid_t id;
  user_regs_struct registers;
  user_fpregs_struct floatingPoint;
};

// Safe in a signal handler (no heap, no lock; system calls and static storage only), and so one at
// a time.
class OtherThreads {
 public:
  // Stops every thread of the process but `crashingThread`.
  explicit OtherThreads(pid_t crashingThread);
  ~OtherThreads();
  OtherThreads(const OtherThreads&) = delete;
  OtherThreads& operator=(const OtherThreads&) = delete;

  const StoppedThread* begin() const;
  const StoppedThread* end() const;

  // Why threads are missing from the list: what failed, with the system's error number; null when
  // every thread was stopped.
  const char* Failure() const;
  int FailureError() const;

 private:
  pid_t helper_ = -1;
  int toHelper_[2] = {-1, -1};
  int fromHelper_[2] = {-1, -1};
};

}  // namespace Melvo::platform
