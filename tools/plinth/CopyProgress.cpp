#include "CopyProgress.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>

namespace PlinthTool {

namespace {

// Set by the SIGINT handler, which may run on any of the process's threads (the library's logging
// worker among them): a lock-free atomic is safe both in the handler and across threads.
std::atomic<bool> interruptRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnInterrupt(int) {
  interruptRequested.store(true);
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

CopyProgress::CopyProgress(bool visible) : visible(visible) {}

void CopyProgress::CatchInterrupt() {
  catching = std::signal(SIGINT, OnInterrupt) != SIG_ERR;
}

CopyProgress::~CopyProgress() {
  if (catching) std::signal(SIGINT, SIG_DFL);
}

bool CopyProgress::Interrupted() {
  return interruptRequested.load();
}

bool CopyProgress::Report(const Melvo::FileProgress& progress) {
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

}  // namespace PlinthTool
