#include "CopyProgress.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>

#ifndef _WIN32
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace PlinthTool {

namespace {

constexpr int kStopSignals[] = {
    SIGINT,
    SIGTERM,
#ifdef SIGHUP
    SIGHUP,
#endif
};
using Handler = void (*)(int);
Handler previousHandlers[std::size(kStopSignals)];

// The stop signal that came, 0 while none did. Set by the handler, which on Windows runs on a thread
// of its own: a lock-free atomic is safe both in the handler and across threads.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);
// The named pipe the tool itself is waiting on for a writer; null while it waits on none.
std::atomic<const char*> waitingForWriter{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free);
// The work file of the copy under way, once the library has made it; null before.
std::atomic<const char*> workFileMade{nullptr};

#ifndef _WIN32
void WriteToStandardError(const char* text) {
  // Nothing is left to do when even this fails.
  if (::write(STDERR_FILENO, text, std::strlen(text)) < 0) return;
}
#endif

extern "C" void OnStopSignal(int signal) {
  const bool again = stopSignal.exchange(signal) != 0;
#ifndef _WIN32
  // The library has not started: there is nothing to clean up, and no other way out of the wait.
  if (const char* pipe = waitingForWriter.load()) {
    WriteToStandardError("plinth: interrupted while waiting for a writer to ");
    WriteToStandardError(pipe);
    WriteToStandardError("\n");
    ::_exit(128 + signal);
  }
  // A copy that never gets to its next check (a pipe whose writer sends nothing keeps it waiting)
  // is stopped by a second signal at once, and its work file removed as the library would have.
  if (again) {
    if (const char* work = workFileMade.load()) ::unlink(work);
    WriteToStandardError("plinth: stopped at once by a second signal\n");
    ::_exit(128 + signal);
  }
#else
  static_cast<void>(again);
#endif
}

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

double Mebibytes(std::uintmax_t bytes) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

const char* Label(Melvo::FilePass pass) {
  switch (pass) {
    case Melvo::FilePass::Checksum:
      return "checksumming";
    case Melvo::FilePass::Copy:
      return "copying";
    case Melvo::FilePass::Verify:
      return "verifying";
  }
  return "";
}

}  // namespace

CopyProgress::CopyProgress(bool visible, const std::string& destination)
    : visible(visible), workFile(destination + ".partial") {}

void CopyProgress::CatchSignals() {
  catching = true;
  for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
    previousHandlers[i] = std::signal(kStopSignals[i], OnStopSignal);
    // A signal the caller chose to ignore (nohup) stays ignored.
    if (previousHandlers[i] == SIG_IGN) std::signal(kStopSignals[i], SIG_IGN);
  }
}

CopyProgress::~CopyProgress() {
  workFileMade.store(nullptr);
  ReleasePipe();
  if (!catching) return;
  for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
    if (previousHandlers[i] != SIG_ERR) std::signal(kStopSignals[i], previousHandlers[i]);
  }
}

bool CopyProgress::Interrupted() {
  return stopSignal.load() != 0;
}

int CopyProgress::InterruptedStatus() {
  return 128 + stopSignal.load();
}

bool CopyProgress::ReadyToRead(const std::string& source) {
  ReleasePipe();
#ifndef _WIN32
  struct stat status {};
  if (::stat(source.c_str(), &status) == 0 && S_ISFIFO(status.st_mode)) {
    waitingForWriter.store(source.c_str());
    // A signal that came before the wait began is seen here: the wait would never end.
    while (!Interrupted() && pipeReader < 0) {
      pipeReader = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
      if (pipeReader < 0 && errno != EINTR) break;
    }
    waitingForWriter.store(nullptr);
    // With a reading end of its own open, the tool's writing end opens without waiting.
    if (pipeReader >= 0) pipeWriter = ::open(source.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  }
#else
  static_cast<void>(source);
#endif
  return !Interrupted();
}

void CopyProgress::ReleasePipe() {
#ifndef _WIN32
  for (int* end : {&pipeWriter, &pipeReader}) {
    if (*end >= 0) ::close(*end);
    *end = -1;
  }
#endif
}

bool CopyProgress::Report(const Melvo::FileProgress& progress) {
  // The library has opened its source by its first report, before it reads a byte, and a copy its
  // work file.
  ReleasePipe();
  if (progress.pass == Melvo::FilePass::Copy) workFileMade.store(workFile.c_str());
  const bool newPass = !last || last->pass != progress.pass;
  last = progress;
  if (visible) {
    const auto now = std::chrono::steady_clock::now();
    if (newPass) passStart = now;
    if (newPass || now - lastDraw >= kRedrawInterval) {
      lastDraw = now;
      Draw(progress.bytesDone);
    }
  }
  return Interrupted();
}

void CopyProgress::Finish(bool complete) {
  // Renamed or removed by now.
  workFileMade.store(nullptr);
  // Nothing was drawn when the work failed before its first report.
  if (!visible || !last) return;
  Draw(complete && last->bytesTotal ? *last->bytesTotal : last->bytesDone);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void CopyProgress::Draw(std::uintmax_t done) {
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - passStart).count();
  const double rate = seconds > 0.0 ? Mebibytes(done) / seconds : 0.0;
  if (last->bytesTotal) {
    const std::uintmax_t total = *last->bytesTotal;
    // A file that grew while it was read may pass its size.
    const unsigned percent = total == 0 ? 100u : static_cast<unsigned>(std::min(done, total) * 100 / total);
    std::fprintf(stderr, "\r%s %ju of %ju bytes (%u%%), %.1f MiB/s   ", Label(last->pass), done, total,
                 percent, rate);
  } else {
    std::fprintf(stderr, "\r%s %ju bytes, %.1f MiB/s   ", Label(last->pass), done, rate);
  }
  std::fflush(stderr);
}

void WithoutStopSignals(const std::function<void()>& start) {
#ifdef _WIN32
  start();
#else
  sigset_t stops;
  sigemptyset(&stops);
  for (const int signal : kStopSignals) sigaddset(&stops, signal);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &stops, &previous);
  struct Restore {
    const sigset_t& mask;
    ~Restore() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
  } restore{previous};
  start();
#endif
}

}  // namespace PlinthTool
