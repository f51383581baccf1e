// The load-time check of the state-machine template: a machine of three states is built, frozen
// and given one event. It writes nothing when all goes well.
#include <Plinth/StateMachine.h>

#include <memory>
#include <string>
#include <utility>

#include "StateMachineSelfCheck.h"

namespace Melvo::detail {
namespace {

class MyState : public IState<int, StateMachineNullStorage> {
 public:
  explicit MyState(std::string name) : name(std::move(name)) {}

  std::string GetName() const override { return name; }

 protected:
  bool DoHandleEvent(const int& event, std::string& nextStateName, std::string& reason) override {
    static_cast<void>(event);
    nextStateName = name;
    reason.clear();
    return true;
  }

 private:
  std::string name;
};

// Runs while the library is loaded, where an exception would end the host: a failure of any
// kind, an allocation included, only marks the check as failed.
bool RunSelfCheck() noexcept {
  try {
    StateMachine<MyState> machine;
    return machine.AddTheInitialState(std::make_shared<MyState>("Initial")) &&
           machine.DoAddState(std::make_shared<MyState>("Normal"), Normal) &&
           machine.DoAddState(std::make_shared<MyState>("Final"), Final) && machine.FreezeStates() &&
           machine.ProcessEvent(3);
  } catch (...) {
    return false;
  }
}

const bool selfCheckPassed = RunSelfCheck();

}  // namespace

bool StateMachineSelfCheckPassed() {
  return selfCheckPassed;
}

}  // namespace Melvo::detail
