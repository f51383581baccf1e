// Crash handling on Linux: the fatal signals stand in for the unhandled-exception filter, and the
// dump writer is the library's own minidump writer, so it is always there.
#include "platform/PlatformCrash.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/linux/MinidumpWriter.h"
#include "platform/linux/OtherThreads.h"

namespace Melvo::platform {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP};
// Room for the filter itself, its logging and the observers, once the thread's own stack is gone.
constexpr std::size_t kAlternateStackSize = 256 * 1024;

std::atomic<CrashFilter> installedFilter{nullptr};
std::atomic<std::int64_t> crashTimeLimit{kDefaultCrashTimeLimit};
// The thread that is handling a crash, 0 while none is.
std::atomic<pid_t> crashingThread{0};

pid_t CurrentThreadId() {
  return static_cast<pid_t>(syscall(SYS_gettid));
}

// The alternate signal stack this library gave the thread, released when the thread ends.
class AlternateStack {
 public:
  // A crash after this (in an atexit handler, say) runs the handler on the thread's own stack.
  ~AlternateStack() {
    if (memory_ == nullptr) return;
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == memory_) {
      stack_t disable{};
      disable.ss_flags = SS_DISABLE;
      sigaltstack(&disable, nullptr);
    }
    munmap(memory_, kAlternateStackSize);
  }

  bool Install() {
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0 &&
        current.ss_size >= kAlternateStackSize) {
      return true;
    }
    if (memory_ == nullptr) {
      void* memory =
          mmap(nullptr, kAlternateStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (memory == MAP_FAILED) return false;
      memory_ = memory;
    }
    stack_t stack{};
    stack.ss_sp = memory_;
    stack.ss_size = kAlternateStackSize;
    return sigaltstack(&stack, nullptr) == 0;
  }

 private:
  void* memory_ = nullptr;
};

thread_local AlternateStack threadAlternateStack;

// Lets the signal end the process as it would have without a handler: same exit status, same
// core dump policy. The signal stays blocked until the handler returns, and is delivered then.
void DieOf(int signal) {
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  sigaction(signal, &defaultAction, nullptr);
  syscall(SYS_tgkill, getpid(), CurrentThreadId(), signal);
}

// The signal of the crash being handled, for the time limit's handler.
std::atomic<int> crashSignal{0};

// The handling of the crash ran out of time, stuck on a lock the crashed code held, say: the
// process dies of the crash's own signal at once, whichever thread this runs on. Should that not
// end it, nothing can but a kill.
void OnCrashTimeLimit(int) {
  const int signal = crashSignal.load();
  DieOf(signal);
  sigset_t crash;
  sigemptyset(&crash);
  sigaddset(&crash, signal);
  sigprocmask(SIG_UNBLOCK, &crash, nullptr);
  kill(getpid(), SIGKILL);
}

// Ends the process once `milliseconds` have passed, unless it has ended by then.
void StartCrashTimeLimit(int signal, std::int64_t milliseconds) {
  if (milliseconds <= 0) return;
  crashSignal.store(signal);
  struct sigaction action {};
  action.sa_handler = &OnCrashTimeLimit;
  action.sa_flags = SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, nullptr);
  // The crashing thread takes the timer's signal whatever its mask was, so some thread always can.
  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  sigprocmask(SIG_UNBLOCK, &alarm, nullptr);
  itimerval limit{};
  limit.it_value.tv_sec = milliseconds / 1000;
  limit.it_value.tv_usec = milliseconds % 1000 * 1000;
  setitimer(ITIMER_REAL, &limit, nullptr);
  // Should the handler never run (a checking build's run time that holds signals back until the
  // thread leaves its blocking call, say), a kill a second later needs no handler at all.
  sigevent kill{};
  kill.sigev_notify = SIGEV_SIGNAL;
  kill.sigev_signo = SIGKILL;
  int timer = 0;  // the kernel's timer id, which the raw call gives back

  itimerspec backstop{};
  backstop.it_value.tv_sec = milliseconds / 1000 + 1;
  backstop.it_value.tv_nsec = milliseconds % 1000 * 1000000;
  if (syscall(SYS_timer_create, CLOCK_MONOTONIC, &kill, &timer) == 0)
    syscall(SYS_timer_settime, timer, 0, &backstop, nullptr);
}

void OnFatalSignal(int signal, siginfo_t* info, void* context) {
  const pid_t self = CurrentThreadId();
  pid_t handling = 0;
  if (crashingThread.compare_exchange_strong(handling, self)) {
    StartCrashTimeLimit(signal, crashTimeLimit.load());
    CrashRecord record{signal, info, static_cast<const ucontext_t*>(context), self};
    if (CrashFilter filter = installedFilter.load()) filter(&record);
  } else if (handling != self) {
    // Another thread is writing the dump; the process ends when it is done.
    for (;;) pause();
  }
  // A second fault on the handling thread itself ends up here too, and simply dies of it.
  DieOf(signal);
}

// A file that only this process's user can have written: a regular file it owns, under no other
// name.
bool IsOwnFile(const struct stat& status) {
  return S_ISREG(status.st_mode) && status.st_uid == geteuid() && status.st_nlink == 1;
}

// Opens the dump file, owner-only, from its start: a dump holds the process's memory. The folder
// may be open to others, who may have planted a link or a file of their own under the dump's
// name: a dump never goes through a link, nor into a file that is not the process's own. An
// earlier dump of its own is reused; anything else under the name is replaced by a new file where
// the folder allows it. -1 when no file could be had.
int OpenDumpFile(const char* path) {
  struct stat entry {};
  if (lstat(path, &entry) == 0) {
    if (IsOwnFile(entry)) {
      const int file = open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
      struct stat opened {};
      if (file >= 0 && fstat(file, &opened) == 0 && opened.st_ino == entry.st_ino &&
          opened.st_dev == entry.st_dev && IsOwnFile(opened) && ftruncate(file, 0) == 0 &&
          fchmod(file, S_IRUSR | S_IWUSR) == 0) {
        return file;
      }
      if (file >= 0) close(file);
    }
    if (unlink(path) != 0) return -1;
  }
  // Created here and now, so no one else can have it open; the umask can only narrow the mode.
  return open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
}

}  // namespace

void InstallCrashFilter(CrashFilter filter) {
  installedFilter.store(filter);
  struct sigaction action {};
  action.sa_sigaction = &OnFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int signal : kFatalSignals) sigaction(signal, &action, nullptr);
}

void SetCrashTimeLimit(std::int64_t milliseconds) {
  crashTimeLimit.store(milliseconds);
}

bool PrepareThreadForCrash() {
  return threadAlternateStack.Install();
}

DumpResult WriteCrashDump(const std::string& pathText, CrashRecord* crash) {
  using Outcome = DumpResult::Outcome;
  const int file = OpenDumpFile(pathText.c_str());
  if (file < 0) return {Outcome::FileNotCreated, 0};
  const OtherThreads others(crash->threadId);
  const bool written = WriteMinidump(file, *crash, others.begin(), others.end());
  const int error = errno;
  close(file);
  DumpResult result{written ? Outcome::Written : Outcome::WriteFailed,
                    written ? 0 : static_cast<std::uint32_t>(error)};
  result.missingThreads = others.Failure();
  result.missingThreadsError = static_cast<std::uint32_t>(others.FailureError());
  return result;
}

}  // namespace Melvo::platform
