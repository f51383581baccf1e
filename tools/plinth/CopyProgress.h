// Progress of a copy, driven by the library's interruption callback: the callback's checks are
// counted and turned into bytes, and Ctrl-C becomes the callback's request to stop.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace PlinthTool {

class CopyProgress {
 public:
  // One pass of the library over the file: it asks the callback `checksPerBlock` times for each
  // block of `blockBytes` bytes, and once more for the block that finds the end of the file.
  struct Pass {
    const char* label;
    int checksPerBlock;
    std::uintmax_t blockBytes;
  };

  // `totalBytes` is the file's size when `sizeKnown`; the line is drawn on standard error only when
  // `visible`. The passes follow each other in the order given.
  CopyProgress(std::uintmax_t totalBytes, bool sizeKnown, bool visible, std::vector<Pass> passes);

  // Catches SIGINT until the object goes: from then on every check asks the library to stop.
  void CatchInterrupt();
  ~CopyProgress();

  // The interruption callback: counts the check, redraws the line now and then, and returns true
  // once Ctrl-C was pressed.
  bool Check();
  // Draws the line a last time, showing every byte when the work is `complete`, and ends it.
  void Finish(bool complete);

  static bool Interrupted();

 private:
  std::uintmax_t ExpectedChecks(const Pass& pass) const;
  std::uintmax_t DoneBytes() const;
  void Draw(std::uintmax_t done);

  std::uintmax_t totalBytes;
  bool sizeKnown;
  bool visible;
  std::vector<Pass> passes;
  std::size_t passIndex = 0;
  std::uintmax_t checksInPass = 0;
  std::chrono::steady_clock::time_point passStart;
  std::chrono::steady_clock::time_point lastDraw;
  bool catching = false;
};

}  // namespace PlinthTool
