// A host built against the installed package that runs a state machine: the template is compiled
// here, yet its messages reach the logger the host handed to the library.
#include <Plinth/Plinth.h>
#include <spdlog/sinks/ostream_sink.h>

#include <iostream>
#include <memory>
#include <sstream>
#include <string>

namespace {

class Step : public Melvo::IState<int, Melvo::StateMachineNullStorage> {
 public:
  Step(std::string name, std::string next) : name(std::move(name)), next(std::move(next)) {}
  std::string GetName() const override { return name; }

 protected:
  bool DoHandleEvent(const int&, std::string& nextStateName, std::string& reason) override {
    nextStateName = next;
    reason = "asked";
    return true;
  }

 private:
  std::string name;
  std::string next;
};

}  // namespace

int main() {
  std::ostringstream captured;
  auto logger = std::make_shared<spdlog::logger>("vorn.Host",
                                                 std::make_shared<spdlog::sinks::ostream_sink_st>(captured));
  logger->set_pattern("%n|%l|%g|%!|%v");
  InitLoggerPlinth({logger}, LoggerThreadPoolSettings{64, 1});

  Melvo::StateMachine<Step> machine("vorn.Host.Lifecycle");
  machine.ProcessEvent(1);
  machine.AddTheInitialState(std::make_shared<Step>("Idle", "Running"));
  machine.DoAddState(std::make_shared<Step>("Running", "Running"), Melvo::Normal);
  machine.FreezeStates();
  if (!machine.ProcessEvent(1)) {
    std::cerr << "the machine refused an event\n";
    return 1;
  }

  const std::string expected =
      "vorn.Host.Lifecycle|error|Plinth/StateMachine|Melvo::StateMachine<State, Initializer>::ProcessEvent|"
      "Impossible to process event. Machine must be frozen before any event is processed.\n"
      "vorn.Host.Lifecycle|info|Plinth/StateMachine|Melvo::StateMachine<State, Initializer>::GotoState|"
      "State transition: Idle --> Running (asked)\n";
  if (captured.str() != expected) {
    std::cerr << "unexpected log output:\n" << captured.str() << "expected:\n" << expected;
    return 1;
  }
  return 0;
}
