// Holds threads until all of them have arrived, so that the work a race test looks at overlaps.
#pragma once

#include <atomic>
#include <thread>

namespace PlinthTest {

class StartLine {
 public:
  explicit StartLine(int threads) : waiting_(threads) {}

  // Returns once `threads` callers have arrived.
  void Arrive() {
    for (--waiting_; waiting_.load() > 0;) std::this_thread::yield();
  }

 private:
  std::atomic<int> waiting_;
};

}  // namespace PlinthTest
