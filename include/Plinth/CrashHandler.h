// The crash handler: writes a minidump when the process dies of a fault that nothing handled, and
// tells the observers that hosts register.
#pragma once

#include <Plinth/Export.h>

namespace Melvo {

// Implemented by hosts that want to hear of a crash, for instance to flush their own logs.
class PLINTH_API ICrashHandlerObserver {
 public:
  ICrashHandlerObserver() = default;
  virtual ~ICrashHandlerObserver();
  // Called once on the crashing thread, after the dump file has been written and closed.
  virtual void OnCrash() = 0;
};

}  // namespace Melvo
