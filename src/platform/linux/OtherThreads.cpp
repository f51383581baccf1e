#include "platform/linux/OtherThreads.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <initializer_list>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Melvo::platform {
namespace {

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer's run time stands between the program and the C library, and cannot run in a
// helper that shares the crashing thread's storage: a build it checks dumps the crashing thread
// alone.
constexpr bool kHelperCanRun = false;
#else
constexpr bool kHelperCanRun = true;
#endif

// Shared with the helper, which runs in the same memory.
StoppedThread stopped[kMaxOtherThreads];
std::size_t stoppedCount = 0;
const char* failure = nullptr;
int failureError = 0;
struct Task {
  pid_t process;
  pid_t crashingThread;
  int fromParent;
  int toParent;
} task;
alignas(16) char helperStack[64 * 1024];

// Raw system calls throughout: the helper shares the crashed process's memory and its thread's
// storage, so it must touch none of the C library's state.
long Read(int fd, void* buffer, std::size_t size) {
  long got;
  do {
    got = syscall(SYS_read, fd, buffer, size);
  } while (got < 0 && errno == EINTR);
  return got;
}

void Write(int fd, char byte) {
  while (syscall(SYS_write, fd, &byte, 1) < 0 && errno == EINTR) {
  }
}

void Fail(const char* what) {
  if (failure != nullptr) return;
  failure = what;
  failureError = errno;
}

// "/proc/<process>/task".
void TaskFolder(pid_t process, char (&path)[32]) {
  char digits[16];
  int length = 0;
  for (auto value = static_cast<std::uint32_t>(process); length == 0 || value != 0; value /= 10)
    digits[length++] = static_cast<char>('0' + value % 10);
  char* at = path;
  for (const char* part = "/proc/"; *part != '\0';) *at++ = *part++;
  while (length > 0) *at++ = digits[--length];
  for (const char* part = "/task"; *part != '\0';) *at++ = *part++;
  *at = '\0';
}

// Stops and reads one thread; false when it could not be traced or was gone by then.
bool Stop(pid_t thread, StoppedThread& record) {
  if (syscall(SYS_ptrace, PTRACE_ATTACH, thread, nullptr, nullptr) != 0) {
    // A thread that ended since the list was read is simply not there any more.
    if (errno != ESRCH) Fail("tracing the other threads was refused");
    return false;
  }
  int status = 0;
  while (syscall(SYS_wait4, thread, &status, __WALL, nullptr) < 0) {
    if (errno != EINTR) return false;
  }
  record.id = thread;
  return WIFSTOPPED(status) && syscall(SYS_ptrace, PTRACE_GETREGS, thread, nullptr, &record.registers) == 0 &&
         syscall(SYS_ptrace, PTRACE_GETFPREGS, thread, nullptr, &record.floatingPoint) == 0;
}

int RunHelper(void*) {
  // A helper left behind by a process that died meanwhile (of the crash time limit, say) goes too.
  syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
  char signal = 0;
  if (Read(task.fromParent, &signal, 1) != 1) syscall(SYS_exit, 1);
  char path[32];
  TaskFolder(task.process, path);
  const int folder =
      static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder < 0) Fail("the threads could not be listed");
  alignas(8) char entries[4096];
  long length;
  while (folder >= 0 && (length = syscall(SYS_getdents64, folder, entries, sizeof entries)) > 0) {
    for (long at = 0; at < length;) {
      const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
      at += entry->d_reclen;
      pid_t thread = 0;
      for (const char* digit = entry->d_name; *digit >= '0' && *digit <= '9'; ++digit)
        thread = thread * 10 + (*digit - '0');
      if (thread == 0 || thread == task.crashingThread) continue;
      if (stoppedCount == kMaxOtherThreads) {
        errno = 0;
        Fail("the process has more threads than a dump can hold");
      } else if (Stop(thread, stopped[stoppedCount])) {
        ++stoppedCount;
      }
    }
  }
  if (folder >= 0) syscall(SYS_close, folder);
  Write(task.toParent, 's');
  // Until the dump is written; then the threads go on.
  Read(task.fromParent, &signal, 1);
  for (std::size_t index = 0; index < stoppedCount; ++index)
    syscall(SYS_ptrace, PTRACE_DETACH, stopped[index].id, nullptr, nullptr);
  syscall(SYS_exit, 0);
  return 0;
}

}  // namespace

OtherThreads::OtherThreads(pid_t crashingThread) {
  stoppedCount = 0;
  failure = nullptr;
  failureError = 0;
  if (!kHelperCanRun) return;
  if (pipe2(toHelper_, O_CLOEXEC) != 0 || pipe2(fromHelper_, O_CLOEXEC) != 0) {
    Fail("no pipe to a helper process could be made");
    return;
  }
  // A helper that died leaves a pipe without a reader: writing to it must fail, not end the process.
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigprocmask(SIG_BLOCK, &pipeSignal, nullptr);
  task = {getpid(), crashingThread, toHelper_[0], fromHelper_[1]};
  // The helper has descriptors of its own, so that this process sees the end of the pipe should
  // the helper die before it reports.
  helper_ =
      clone(&RunHelper, helperStack + sizeof helperStack, CLONE_VM | CLONE_FS | CLONE_UNTRACED, nullptr);
  close(std::exchange(toHelper_[0], -1));
  close(std::exchange(fromHelper_[1], -1));
  if (helper_ < 0) {
    Fail("no helper process could be started");
    return;
  }
  // Where Yama restricts tracing to a process's descendants, the helper needs this process's leave.
  prctl(PR_SET_PTRACER, helper_, 0, 0, 0);
  Write(toHelper_[1], 'g');
  char stoppedAll = 0;
  if (Read(fromHelper_[0], &stoppedAll, 1) != 1) Fail("the helper process ended early");
}

OtherThreads::~OtherThreads() {
  if (helper_ >= 0) {
    Write(toHelper_[1], 'd');
    while (syscall(SYS_wait4, helper_, nullptr, __WALL, nullptr) < 0 && errno == EINTR) {
    }
    prctl(PR_SET_PTRACER, 0, 0, 0, 0);
  }
  for (const int fd : {toHelper_[0], toHelper_[1], fromHelper_[0], fromHelper_[1]}) {
    if (fd >= 0) close(fd);
  }
}

const StoppedThread* OtherThreads::begin() const {
  return stopped;
}

const StoppedThread* OtherThreads::end() const {
  return stopped + stoppedCount;
}

const char* OtherThreads::Failure() const {
  return failure;
}

int OtherThreads::FailureError() const {
  return failureError;
}

}  // namespace Melvo::platform
