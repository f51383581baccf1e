// Progress of a copy, drawn from the library's progress reports, and the signals that stop a copy
// (Ctrl-C, SIGTERM, SIGHUP) turned into the reports' request to stop.
#pragma once

#include <Plinth/FileIntegrity.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace PlinthTool {

class CopyProgress {
 public:
  // The line is drawn on standard error only when `visible`; `destination` is the copy's.
  CopyProgress(bool visible, const std::string& destination);

  // Catches the stop signals until the object goes: from then on every report asks the library to
  // stop once one came. A second one ends the process at once, removing the copy's work file.
  void CatchSignals();
  ~CopyProgress();
  CopyProgress(const CopyProgress&) = delete;
  CopyProgress& operator=(const CopyProgress&) = delete;

  // To be called before each pass of the library over `source`. The library's open of a named pipe
  // waits for a writer and goes on waiting through any signal, so for a named pipe the tool waits
  // for the writer itself, where a stop signal ends the process at once (no work file exists yet);
  // it then holds a writing end of its own until the library's first report, so that the library's
  // open returns at once and its reads still see the real writer's bytes and their end. False when
  // a stop signal came before: the pass is not to start.
  bool ReadyToRead(const std::string& source);

  // The progress callback: lets go of the pipe's ends held for the library, redraws the line at the
  // start of each pass and now and then within it, and returns true once a stop signal came.
  bool Report(const Melvo::FileProgress& progress);
  // Draws the line a last time, showing every byte when the work is `complete`, and ends it.
  void Finish(bool complete);

  static bool Interrupted();
  // The status of a process ended by the stop signal that came, as shells report one: 128 + its
  // number (130 for Ctrl-C).
  static int InterruptedStatus();

 private:
  void Draw(std::uintmax_t done);
  void ReleasePipe();

  bool visible;
  const std::string workFile;
  std::optional<Melvo::FileProgress> last;
  std::chrono::steady_clock::time_point passStart;
  std::chrono::steady_clock::time_point lastDraw;
  bool catching = false;
  // The ends of a named pipe held while the library opens it; -1 when none.
  int pipeReader = -1;
  int pipeWriter = -1;
};

// Runs `start` with the stop signals blocked, so that the threads it starts (the library's logging
// thread) never take one: a stop signal then always lands on the thread doing the work, and can
// end the process there before that thread gets any further. On Windows, where Ctrl-C is handled
// on a thread of its own, it just runs `start`.
void WithoutStopSignals(const std::function<void()>& start);

}  // namespace PlinthTool
