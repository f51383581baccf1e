/// \file
/// A machine of named states, for host programs. The host derives its state classes from IState,
/// hands the state objects to a StateMachine (one of them as the initial state), freezes the set
/// and feeds events. Each event goes to the current state, which names the state to move to (its
/// own name to stay); the machine runs the exit action of the state it leaves and the entry actions
/// of the states it enters, following the names that entry actions give until one names itself.
///
/// Every refusal and every transition is written to the logger named by the machine's owner,
/// through the library's logger registry; operations report refusals by a false result and throw
/// nothing of their own. A machine takes no lock: one thread at a time drives it.
///
/// The messages are formatted here, in the host, with the fmt library that comes with the host's
/// spdlog.
///
/// The states of the example host's capture, with their shared storage:
/// \snippet demo_host.cpp StateMachine states
/// and the machine that holds them:
/// \snippet demo_host.cpp StateMachine machine
#pragma once

#include <Plinth/detail/LogLocation.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

namespace Melvo {

template <typename State, typename Initializer>
class StateMachine;

/// The role of a state within its machine.
enum StateKind : std::int32_t {
  Initial = 0,  ///< the state given to AddTheInitialState
  Normal = 1,   ///< an ordinary state
  Final = 2,    ///< handles events but never leaves by one
};

/// The storage policy of a machine whose states share nothing.
struct StateMachineNullStorage {};

/// The interface of a state. `Event` is the type of the events handed to the states; `Storage` is
/// the type of the object that the machine shares with its states. A state class overrides
/// GetName, DoHandleEvent and, when it needs them, DoEnter and DoExit; the machine calls Enter,
/// HandleEvent and Exit. The order of the virtual operations is part of the contract with hosts.
template <typename Event, typename Storage>
class IState {
 public:
  ///@{
  /// The machine reads its event and storage types from its state class.
  using EventType = Event;
  using StorageType = Storage;
  ///@}

  virtual ~IState() = default;

  ///@{
  /// What the machine calls: by default the Do... operation of the same name.
  virtual void Enter(const Event& event, std::string& nextStateName) { DoEnter(event, nextStateName); }
  virtual bool HandleEvent(const Event& event, std::string& nextStateName, std::string& reason) {
    return DoHandleEvent(event, nextStateName, reason);
  }
  virtual void Exit(const Event& event, const std::string& enteredStateName) {
    DoExit(event, enteredStateName);
  }
  ///@}

  /// The state's identity within a machine, compared byte by byte; never empty.
  virtual std::string GetName() const = 0;

 protected:
  /// The entry action: names the state to move on to, its own name to stay. The default stays.
  virtual void DoEnter(const Event& event, std::string& nextStateName) {
    static_cast<void>(event);
    nextStateName = GetName();
  }

  /// Handles an event: names the state to move to (its own name to stay) and may give a reason.
  /// Returns false when the state cannot handle the event.
  virtual bool DoHandleEvent(const Event& event, std::string& nextStateName, std::string& reason) = 0;

  /// The exit action, told the name of the state being entered. The default does nothing.
  virtual void DoExit(const Event& event, const std::string& enteredStateName) {
    static_cast<void>(event);
    static_cast<void>(enteredStateName);
  }

  /// The storage of the machine the state was last added to; null until it is added to one.
  Storage* machineStorage = nullptr;

 private:
  template <typename, typename>
  friend class StateMachine;
};

/// The initialisation policy of a new machine, called by its constructor with the machine. The
/// default leaves the machine empty: no states, no initial state, not frozen.
struct StateMachineDefaultInitializer {
  template <typename Machine>
  /// Leaves `machine` as it is.
  static void Initialize(Machine& machine) {
    static_cast<void>(machine);
  }
};

/// A machine of the states `State` (a class derived from IState), which passes through three
/// phases: building (states are added, events are refused), frozen with a current state (events
/// are processed), and frozen without a current state (after a transition to a name that is not in
/// the machine; events are refused until ResetToInitialState). The machine cannot be copied: its
/// states point to its storage.
template <typename State, typename Initializer = StateMachineDefaultInitializer>
class StateMachine {
 public:
  ///@{
  /// The types of the events and of the storage the states share.
  using Event = typename State::EventType;
  using Storage = typename State::StorageType;
  ///@}

  /// `loggerName` names the logger that every message of this machine goes to.
  explicit StateMachine(std::string loggerName = "") : loggerName(std::move(loggerName)) {
    Initializer::Initialize(*this);
  }
  StateMachine(const StateMachine&) = delete;
  StateMachine& operator=(const StateMachine&) = delete;

  /// Adds `state` as the initial state; there is only one.
  bool AddTheInitialState(std::shared_ptr<State> state) {
    constexpr const char* kFunction = "Melvo::StateMachine<State, Initializer>::AddTheInitialState";
    if (!initialStateName.empty()) {
      Log(kFunction, __LINE__, kWarn, "Failed to add initial state. There can be only one.");
      return false;
    }
    State* added = state.get();
    Storage* const previousStorage = added != nullptr ? added->machineStorage : nullptr;
    if (!DoAddState(std::move(state), Initial)) {
      return false;
    }
    try {
      initialStateName = added->GetName();
    } catch (...) {
      // Undone, so that a failure leaves the machine and the state as they were.
      added->machineStorage = previousStorage;
      EraseState(added);
      throw;
    }
    return true;
  }

  /// Adds a state of `kind` (Normal or Final) while the machine is being built. Refuses an empty
  /// reference, a state without a name and a name that is taken; the first state of a name stays.
  bool DoAddState(std::shared_ptr<State> state, StateKind kind) {
    constexpr const char* kFunction = "Melvo::StateMachine<State, Initializer>::DoAddState";
    if (!state) {
      return false;
    }
    if (frozen) {
      Log(kFunction, __LINE__, kWarn, "The state machine is frozen. Can't add state on frozen machine.");
      return false;
    }
    std::string name = state->GetName();
    if (name.empty()) {
      Log(kFunction, __LINE__, kWarn, "Failed to add state, it must not have an empty name.");
      return false;
    }
    State& added = *state;
    if (!states.emplace(name, StateEntry{std::move(state), kind}).second) {
      Log(kFunction, __LINE__, kWarn, "Failed to add state. There is already a state named: {}", name);
      return false;
    }
    added.machineStorage = &storage;
    return true;
  }

  /// Closes the set of states and makes the initial state current. Refused, and the machine left
  /// open, while it has no states or no initial state. True when the initial state is current.
  bool FreezeStates() {
    constexpr const char* kFunction = "Melvo::StateMachine<State, Initializer>::FreezeStates";
    if (states.empty()) {
      Log(kFunction, __LINE__, kWarn, "Makes no sense to freeze a state machine not containing any states.");
      return false;
    }
    if (initialStateName.empty()) {
      Log(kFunction, __LINE__, kWarn, "State machine needs an initial state.");
      return false;
    }
    frozen = true;
    return ResetToInitialState();
  }

  /// Makes the initial state current, without running any entry or exit action.
  bool ResetToInitialState() {
    constexpr const char* kFunction = "Melvo::StateMachine<State, Initializer>::ResetToInitialState";
    if (!frozen) {
      Log(kFunction, __LINE__, kError,
          "Impossible to reach initial state. Machine must be frozen beforehand.");
      return false;
    }
    currentState = states.find(initialStateName);
    if (currentState == states.end()) {
      Log(kFunction, __LINE__, kError, "No initial state available.");
      return false;
    }
    return true;
  }

  /// Hands `event` to the current state and carries out the transition it asks for, with the
  /// entry actions of the states entered. A final state handles events but never leaves.
  bool ProcessEvent(const Event& event) {
    constexpr const char* kFunction = "Melvo::StateMachine<State, Initializer>::ProcessEvent";
    if (RefusesEvents(kFunction, __LINE__)) {
      return false;
    }
    nextStateName.clear();
    std::string reason;
    const StateEntry& current = currentState->second;
    if (!current.state->HandleEvent(event, nextStateName, reason)) {
      Log(kFunction, __LINE__, kError, "Failed to process event");
      return false;
    }
    if (current.kind == Final || nextStateName == currentState->first) {
      return true;
    }
    if (!GotoState(event, nextStateName, reason)) {
      return false;
    }
    return EntryAction(event);
  }

  /// Runs the entry action of the current state, and of each state it leads to, until an entry
  /// action names its own state. Transitions made here are logged without a reason.
  bool EntryAction(const Event& event) {
    constexpr const char* kFunction = "Melvo::StateMachine<State, Initializer>::EntryAction";
    if (RefusesEvents(kFunction, __LINE__)) {
      return false;
    }
    for (;;) {
      nextStateName.clear();
      currentState->second.state->Enter(event, nextStateName);
      if (nextStateName.empty()) {
        Log(kFunction, __LINE__, kWarn,
            "Software error? You are not setting the next state's name when entering state '[{}]' "
            "with event. The state machine will stay in the original state.",
            currentState->second.state->GetName());
        return false;
      }
      if (nextStateName == currentState->first) {
        return true;
      }
      if (!GotoState(event, nextStateName, std::string())) {
        return false;
      }
    }
  }

  /// Makes the state named `targetName` current and runs the exit action of the state left; the
  /// entry action of the state entered is the caller's. A name that is not in the machine leaves
  /// it without a current state until it is reset.
  bool GotoState(const Event& event, const std::string& targetName, const std::string& reason) {
    constexpr const char* kFunction = "Melvo::StateMachine<State, Initializer>::GotoState";
    if (RefusesEvents(kFunction, __LINE__)) {
      return false;
    }
    if (targetName.empty()) {
      Log(kFunction, __LINE__, kWarn,
          "Software error? You are not setting the next state's name in state '{}' "
          "while processing event. The state machine will stay in the same state.",
          currentState->second.state->GetName());
      return false;
    }
    const auto left = currentState;
    currentState = states.find(targetName);
    if (currentState == states.end()) {
      Log(kFunction, __LINE__, kError,
          "Can't transition to state '{}' because it is not part of the state machine.", targetName);
      return false;
    }
    State& leftState = *left->second.state;
    leftState.Exit(event, targetName);
    if (reason.empty()) {
      Log(kFunction, __LINE__, kInfo, "State transition: {} --> {}", leftState.GetName(), targetName);
    } else {
      Log(kFunction, __LINE__, kInfo, "State transition: {} --> {} ({})", leftState.GetName(), targetName,
          reason);
    }
    return true;
  }

 private:
  struct StateEntry {
    std::shared_ptr<State> state;
    StateKind kind;
  };
  using StateMap = std::unordered_map<std::string, StateEntry>;

  // Level numbers of the library's loggers.
  static constexpr int kInfo = 2;
  static constexpr int kWarn = 3;
  static constexpr int kError = 4;

  // Events are taken only by a frozen machine that has a current state; otherwise the refusal is
  // logged as the operation `function`'s.
  bool RefusesEvents(const char* function, int line) const {
    if (!frozen) {
      Log(function, line, kError,
          "Impossible to process event. Machine must be frozen before any event is processed.");
      return true;
    }
    if (currentState == states.end()) {
      Log(function, line, kError, "Selected state not found.");
      return true;
    }
    return false;
  }

  // Removes the entry of `state`, which was just added.
  void EraseState(const State* state) {
    states.erase(std::find_if(states.begin(), states.end(),
                              [state](const auto& entry) { return entry.second.state.get() == state; }));
  }

  // `function` is the operation's name as the template spells it, the same for every state class
  // and every host; a literal, as asynchronous loggers keep the pointer.
  template <typename... Args>
  void Log(const char* function, int line, int level, fmt::format_string<Args...> text,
           Args&&... args) const {
    detail::WriteLogStatement(loggerName, "Plinth/StateMachine", line, function, level,
                              fmt::format(text, std::forward<Args>(args)...));
  }

  Storage storage{};
  const std::string loggerName;
  StateMap states;
  // Read only once the machine is frozen, when no state is added any more and so the map never
  // rehashes under it.
  typename StateMap::iterator currentState = states.end();
  std::string initialStateName;
  std::string nextStateName;
  bool frozen = false;
};

}  // namespace Melvo
