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

}  // namespace

CopyProgress::CopyProgress(std::uintmax_t totalBytes, bool sizeKnown, bool visible, std::vector<Pass> passes)
    : totalBytes(totalBytes),
      sizeKnown(sizeKnown),
      visible(visible),
      passes(std::move(passes)),
      passStart(std::chrono::steady_clock::now()),
      lastDraw(passStart) {}

void CopyProgress::CatchInterrupt() {
  catching = std::signal(SIGINT, OnInterrupt) != SIG_ERR;
}

CopyProgress::~CopyProgress() {
  if (catching) std::signal(SIGINT, SIG_DFL);
}

bool CopyProgress::Interrupted() {
  return interruptRequested.load();
}

std::uintmax_t CopyProgress::ExpectedChecks(const Pass& pass) const {
  return static_cast<std::uintmax_t>(pass.checksPerBlock) * (totalBytes / pass.blockBytes + 1);
}

bool CopyProgress::Check() {
  // A pass whose checks are all counted has ended; the next check belongs to the next pass. With
  // the size unknown there is no telling, and the line stays with the first pass.
  if (sizeKnown && passIndex + 1 < passes.size() && checksInPass == ExpectedChecks(passes[passIndex])) {
    ++passIndex;
    checksInPass = 0;
    passStart = std::chrono::steady_clock::now();
  }
  ++checksInPass;
  const auto now = std::chrono::steady_clock::now();
  if (visible && (checksInPass == 1 || now - lastDraw >= kRedrawInterval)) {
    lastDraw = now;
    Draw(DoneBytes());
  }
  return Interrupted();
}

void CopyProgress::Finish(bool complete) {
  if (!visible) return;
  Draw(complete && sizeKnown ? totalBytes : DoneBytes());
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

std::uintmax_t CopyProgress::DoneBytes() const {
  const Pass& pass = passes[passIndex];
  // Each check comes before a step of a block, so the blocks before the current one are done.
  const std::uintmax_t blocks = checksInPass == 0 ? 0 : (checksInPass - 1) / pass.checksPerBlock;
  const std::uintmax_t done = blocks * pass.blockBytes;
  return sizeKnown ? std::min(done, totalBytes) : done;
}

void CopyProgress::Draw(std::uintmax_t done) {
  const Pass& pass = passes[passIndex];
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - passStart).count();
  const double rate = seconds > 0.0 ? Mebibytes(done) / seconds : 0.0;
  if (sizeKnown) {
    const unsigned percent = totalBytes == 0 ? 100u : static_cast<unsigned>(done * 100 / totalBytes);
    std::fprintf(stderr, "\r%s %ju of %ju bytes (%u%%), %.1f MiB/s   ", pass.label, done, totalBytes, percent,
                 rate);
  } else {
    std::fprintf(stderr, "\r%s %ju bytes, %.1f MiB/s   ", pass.label, done, rate);
  }
  std::fflush(stderr);
}

}  // namespace PlinthTool
