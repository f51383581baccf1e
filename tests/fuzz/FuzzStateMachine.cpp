// A state machine of fuzzer-made states (what each does with each event, which state each entry
// action leads to, which are final) driven by a fuzzer-chosen sequence of events, resets and
// direct transitions. Every result, and the order of the handler, entry and exit calls, must match
// a plain model of the machine's rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include <Plinth/StateMachine.h>

namespace {

constexpr std::size_t kEvents = 4;
using Trace = std::vector<std::string>;

// What a state does: for each event, whether it handles it and the name it gives; the name its
// entry action gives. A name may be a state's, one not in the machine, or empty.
struct Behaviour {
  std::string name;
  Melvo::StateKind kind = Melvo::Normal;
  bool handles[kEvents] = {};
  std::string next[kEvents];
  std::string entryNext;
};

class FuzzState : public Melvo::IState<std::uint8_t, Melvo::StateMachineNullStorage> {
 public:
  FuzzState(const Behaviour& behaviour, Trace& trace) : behaviour(behaviour), trace(trace) {}
  std::string GetName() const override { return behaviour.name; }

 protected:
  void DoEnter(const std::uint8_t&, std::string& nextStateName) override {
    trace.push_back("enter " + behaviour.name);
    nextStateName = behaviour.entryNext;
  }
  bool DoHandleEvent(const std::uint8_t& event, std::string& nextStateName, std::string& reason) override {
    trace.push_back("handle " + behaviour.name + " " + std::to_string(event));
    nextStateName = behaviour.next[event];
    reason = event % 2 == 0 ? "" : "why";
    return behaviour.handles[event];
  }
  void DoExit(const std::uint8_t&, const std::string& enteredStateName) override {
    trace.push_back("exit " + behaviour.name + " " + enteredStateName);
  }

 private:
  const Behaviour behaviour;
  Trace& trace;
};

// The rules, written plainly over the behaviours; `current` is empty when there is no current state.
struct Model {
  std::vector<Behaviour> states;
  std::optional<std::size_t> current = 0;
  Trace trace;

  std::optional<std::size_t> Find(const std::string& name) const {
    for (std::size_t i = 0; i < states.size(); ++i) {
      if (states[i].name == name) return i;
    }
    return std::nullopt;
  }

  bool Goto(const std::string& target) {
    if (!current) return false;
    if (target.empty()) return false;
    const std::optional<std::size_t> found = Find(target);
    const std::size_t left = *current;
    current = found;
    if (!found) return false;
    trace.push_back("exit " + states[left].name + " " + target);
    return true;
  }

  bool Entry() {
    if (!current) return false;
    for (;;) {
      trace.push_back("enter " + states[*current].name);
      const std::string& next = states[*current].entryNext;
      if (next.empty()) return false;
      if (next == states[*current].name) return true;
      if (!Goto(next)) return false;
    }
  }

  bool Process(std::uint8_t event) {
    if (!current) return false;
    const Behaviour& state = states[*current];
    trace.push_back("handle " + state.name + " " + std::to_string(event));
    if (!state.handles[event]) return false;
    if (state.kind == Melvo::Final || state.next[event] == state.name) return true;
    return Goto(state.next[event]) && Entry();
  }
};

// A name for a behaviour to give: state `index` itself, a later state (so that entry actions,
// which follow each other, always come to rest), any state, one not in the machine, or none.
std::string PickName(FuzzedDataProvider& input, std::size_t index, std::size_t count, bool forward) {
  switch (input.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
      return "";
    case 1:
      return "Elsewhere";
    case 2:
      return "S" + std::to_string(index);
    default:
      if (forward) {
        return "S" + std::to_string(input.ConsumeIntegralInRange<std::size_t>(index, count - 1));
      }
      return "S" + std::to_string(input.ConsumeIntegralInRange<std::size_t>(0, count - 1));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(1, 5);
  Model model;
  for (std::size_t i = 0; i < count; ++i) {
    Behaviour state;
    state.name = "S" + std::to_string(i);
    state.kind = i != 0 && input.ConsumeBool() ? Melvo::Final : Melvo::Normal;
    for (std::size_t e = 0; e < kEvents; ++e) {
      state.handles[e] = input.ConsumeIntegralInRange<int>(0, 3) != 0;
      state.next[e] = PickName(input, i, count, false);
    }
    state.entryNext = PickName(input, i, count, true);
    model.states.push_back(state);
  }

  Trace trace;
  Melvo::StateMachine<FuzzState> machine("fuzz.StateMachine");
  if (!machine.AddTheInitialState(std::make_shared<FuzzState>(model.states[0], trace))) std::abort();
  for (std::size_t i = 1; i < count; ++i) {
    if (!machine.DoAddState(std::make_shared<FuzzState>(model.states[i], trace), model.states[i].kind)) {
      std::abort();
    }
  }
  // A second state of a taken name is refused, and the first one stays.
  Behaviour impostor;
  impostor.name = "S0";
  if (machine.DoAddState(std::make_shared<FuzzState>(impostor, trace), Melvo::Normal)) std::abort();
  if (!machine.FreezeStates()) std::abort();
  if (machine.DoAddState(std::make_shared<FuzzState>(impostor, trace), Melvo::Normal)) std::abort();

  for (int step = 0; step < 64 && input.remaining_bytes() != 0; ++step) {
    const int action = input.ConsumeIntegralInRange<int>(0, 9);
    bool expected = false;
    bool actual = false;
    if (action == 0) {
      model.current = 0;
      expected = true;
      actual = machine.ResetToInitialState();
    } else if (action == 1) {
      const std::string target = PickName(input, 0, count, false);
      expected = model.Goto(target);
      actual = machine.GotoState(0, target, "asked");
    } else if (action == 2) {
      expected = model.Entry();
      actual = machine.EntryAction(0);
    } else {
      const auto event = input.ConsumeIntegralInRange<std::uint8_t>(0, kEvents - 1);
      expected = model.Process(event);
      actual = machine.ProcessEvent(event);
    }
    if (actual != expected || trace != model.trace) std::abort();
  }
  return 0;
}
