// Progress of a copy, drawn from the library's progress reports, and Ctrl-C turned into the
// reports' request to stop.
#pragma once

#include <Plinth/FileIntegrity.h>

#include <chrono>
#include <cstdint>
#include <optional>

namespace PlinthTool {

class CopyProgress {
 public:
  // The line is drawn on standard error only when `visible`.
  explicit CopyProgress(bool visible);

  // Catches SIGINT until the object goes: from then on every report asks the library to stop.
  void CatchInterrupt();
  ~CopyProgress();

  // The progress callback: redraws the line at the start of each pass and now and then within it,
  // and returns true once Ctrl-C was pressed.
  bool Report(const Melvo::FileProgress& progress);
  // Draws the line a last time, showing every byte when the work is `complete`, and ends it.
  void Finish(bool complete);

  static bool Interrupted();

 private:
  void Draw(std::uintmax_t done);

  bool visible;
  std::optional<Melvo::FileProgress> last;
  std::chrono::steady_clock::time_point passStart;
  std::chrono::steady_clock::time_point lastDraw;
  bool catching = false;
};

}  // namespace PlinthTool
