// StateMachine as a host uses it: the template compiled here, its messages written through the
// library's loggers. Scripted states journal every action the machine runs on them, and each step
// of a test states the event's result, the actions run and the messages written.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <Plinth/StateMachine.h>

#include "support/LogCapture.h"

namespace {

using Melvo::StateMachine;
using PlinthTest::LogCapture;
using Journal = std::vector<std::string>;

const char kLoggerName[] = "vorn.Plinth.TestMachine";
constexpr auto kInfo = spdlog::level::info;
constexpr auto kWarn = spdlog::level::warn;
constexpr auto kError = spdlog::level::err;
constexpr int kProbe = 99;  // an event every scripted state handles by staying

// What a state answers to one event: the state to move to ("" names none) and why.
struct Reply {
  std::string next = "";
  std::string reason = "";
  bool handled = true;
};

// A state that answers events from its script (staying when it has no reply), names `entryNext`
// on entry when set ("" names none), throws on negative events and journals every action. Its
// name comes from `nameSource` when one is set.
class ScriptedState : public Melvo::IState<int, Melvo::StateMachineNullStorage> {
 public:
  ScriptedState(std::string name, Journal& journal) : name(std::move(name)), journal(journal) {}
  std::string GetName() const override { return nameSource ? nameSource() : name; }
  const void* Storage() const { return machineStorage; }

  std::map<int, Reply> replies;
  std::optional<std::string> entryNext;
  std::function<std::string()> nameSource;

 protected:
  void DoEnter(const int& event, std::string& nextStateName) override {
    journal.push_back(name + ".enter(" + std::to_string(event) + ")");
    if (!entryNext) {
      IState::DoEnter(event, nextStateName);
    } else if (!entryNext->empty()) {
      nextStateName = *entryNext;
    }
  }

  bool DoHandleEvent(const int& event, std::string& nextStateName, std::string& reason) override {
    journal.push_back(name + ".handle(" + std::to_string(event) + ")");
    if (event < 0) throw std::runtime_error("state failure");
    auto reply = replies.find(event);
    if (reply == replies.end()) {
      nextStateName = name;
      return true;
    }
    if (!reply->second.next.empty()) nextStateName = reply->second.next;
    reason = reply->second.reason;
    return reply->second.handled;
  }

  void DoExit(const int& event, const std::string& enteredStateName) override {
    journal.push_back(name + ".exit(" + std::to_string(event) + ", " + enteredStateName + ")");
  }

 private:
  std::string name;
  Journal& journal;
};

using Machine = StateMachine<ScriptedState>;

struct Message {
  spdlog::level::level_enum level;
  std::string operation;
  std::string text;
};

// The messages written since the last take, in order, each with its full origin.
void ExpectMessages(const std::vector<Message>& expected) {
  auto records = LogCapture::Take();
  ASSERT_EQ(records.size(), expected.size()) << (expected.empty() ? records[0].text : expected[0].text);
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].level, expected[i].level);
    EXPECT_EQ(records[i].logger, kLoggerName);
    EXPECT_EQ(records[i].file, "Plinth/StateMachine");
    EXPECT_GT(records[i].line, 0);
    EXPECT_EQ(records[i].function, "Melvo::StateMachine<State, Initializer>::" + expected[i].operation);
    EXPECT_EQ(records[i].text, expected[i].text);
  }
}

const Message kNoCurrentState{kError, "ProcessEvent", "Selected state not found."};
const Message kFailedEvent{kError, "ProcessEvent", "Failed to process event"};

Message Transition(const std::string& text) {
  return {kInfo, "GotoState", "State transition: " + text};
}

Message UnknownState(const std::string& name) {
  return {kError, "GotoState",
          "Can't transition to state '" + name + "' because it is not part of the state machine."};
}

Message HandlerNamedNothing(const std::string& state) {
  return {kWarn, "GotoState",
          "Software error? You are not setting the next state's name in state '" + state +
              "' while processing event. The state machine will stay in the same state."};
}

// One event and what it must do.
struct Step {
  int event;
  bool result;
  Journal actions;
  std::vector<Message> messages;
};

// States A (initial), B and C sharing one journal, and a machine to hold them.
class StateMachineTest : public testing::Test {
 protected:
  void SetUp() override { LogCapture::Take(); }

  std::shared_ptr<ScriptedState> Make(const std::string& name) {
    return std::make_shared<ScriptedState>(name, journal);
  }

  void BuildAndFreeze() {
    ASSERT_TRUE(machine.AddTheInitialState(a));
    ASSERT_TRUE(machine.DoAddState(b, Melvo::Normal));
    ASSERT_TRUE(machine.DoAddState(c, Melvo::Normal));
    ASSERT_TRUE(machine.FreezeStates());
    ExpectMessages({});
  }

  // The journal since the last step counts too: an action run outside ProcessEvent shows here.
  void Run(const std::vector<Step>& steps) {
    for (const Step& step : steps) {
      SCOPED_TRACE("event " + std::to_string(step.event));
      EXPECT_EQ(machine.ProcessEvent(step.event), step.result);
      EXPECT_EQ(std::exchange(journal, {}), step.actions);
      ExpectMessages(step.messages);
    }
  }

  Journal journal;
  Machine machine{kLoggerName};
  std::shared_ptr<ScriptedState> a = Make("A");
  std::shared_ptr<ScriptedState> b = Make("B");
  std::shared_ptr<ScriptedState> c = Make("C");
};

TEST_F(StateMachineTest, EventsAreRefusedUntilTheMachineIsFrozen) {
  const std::string notFrozen =
      "Impossible to process event. Machine must be frozen before any event is processed.";
  EXPECT_FALSE(machine.ProcessEvent(1));
  EXPECT_FALSE(machine.EntryAction(1));
  EXPECT_FALSE(machine.GotoState(1, "A", ""));
  EXPECT_FALSE(machine.ResetToInitialState());
  EXPECT_FALSE(machine.FreezeStates());
  ExpectMessages(
      {{kError, "ProcessEvent", notFrozen},
       {kError, "EntryAction", notFrozen},
       {kError, "GotoState", notFrozen},
       {kError, "ResetToInitialState",
        "Impossible to reach initial state. Machine must be frozen beforehand."},
       {kWarn, "FreezeStates", "Makes no sense to freeze a state machine not containing any states."}});

  ASSERT_TRUE(machine.DoAddState(b, Melvo::Normal)) << "a refused freeze leaves the machine open";
  EXPECT_FALSE(machine.FreezeStates());
  ExpectMessages({{kWarn, "FreezeStates", "State machine needs an initial state."}});
  EXPECT_TRUE(machine.DoAddState(c, Melvo::Normal));
  EXPECT_TRUE(machine.AddTheInitialState(a));
  EXPECT_TRUE(machine.FreezeStates());
  ExpectMessages({});
  Run({{kProbe, true, {"A.handle(99)"}, {}}});  // freezing ran no entry action
}

TEST_F(StateMachineTest, AddingRefusesEmptyReferencesNamelessStatesAndTakenNames) {
  EXPECT_EQ((std::vector<int>{Melvo::Initial, Melvo::Normal, Melvo::Final}), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(sizeof(Melvo::StateKind), 4u);
  EXPECT_FALSE(machine.AddTheInitialState(nullptr));
  EXPECT_FALSE(machine.DoAddState(nullptr, Melvo::Normal));
  ExpectMessages({});
  EXPECT_FALSE(machine.AddTheInitialState(Make("")));
  ExpectMessages({{kWarn, "DoAddState", "Failed to add state, it must not have an empty name."}});

  ASSERT_TRUE(machine.AddTheInitialState(a));
  EXPECT_FALSE(machine.AddTheInitialState(b));
  ExpectMessages({{kWarn, "AddTheInitialState", "Failed to add initial state. There can be only one."}});
  auto otherA = Make("A");
  otherA->replies = {{1, {"B"}}};
  EXPECT_FALSE(machine.DoAddState(otherA, Melvo::Normal));
  ExpectMessages({{kWarn, "DoAddState", "Failed to add state. There is already a state named: A"}});
  EXPECT_EQ(b->Storage(), nullptr) << "a refused state is not bound to the machine";
  EXPECT_EQ(otherA->Storage(), nullptr);
  EXPECT_TRUE(machine.DoAddState(Make("a"), Melvo::Normal)) << "names are case-sensitive";

  ASSERT_TRUE(machine.DoAddState(b, Melvo::Normal));
  ASSERT_NE(a->Storage(), nullptr);
  EXPECT_EQ(a->Storage(), b->Storage()) << "states share their machine's storage";
  Machine other(kLoggerName);
  ASSERT_TRUE(other.AddTheInitialState(b));
  EXPECT_NE(a->Storage(), b->Storage()) << "the machine a state was added to last";

  ASSERT_TRUE(machine.FreezeStates());
  Run({{1, true, {"A.handle(1)"}, {}}});  // the first state named A stays
  EXPECT_FALSE(machine.DoAddState(c, Melvo::Final));
  ExpectMessages({{kWarn, "DoAddState", "The state machine is frozen. Can't add state on frozen machine."}});
  EXPECT_EQ(c->Storage(), nullptr);
}

TEST_F(StateMachineTest, EntryActionsChainThroughStatesAndOnlyHandlersGiveReasons) {
  a->replies = {{1, {"B", "start requested"}}};
  b->entryNext = "C";
  c->entryNext = "C";
  c->replies = {{2, {"A"}}};
  BuildAndFreeze();
  Run({{1,
        true,
        {"A.handle(1)", "A.exit(1, B)", "B.enter(1)", "B.exit(1, C)", "C.enter(1)"},
        {Transition("A --> B (start requested)"), Transition("B --> C")}},
       {kProbe, true, {"C.handle(99)"}, {}},
       {2, true, {"C.handle(2)", "C.exit(2, A)", "A.enter(2)"}, {Transition("C --> A")}},
       {kProbe, true, {"A.handle(99)"}, {}}});
}

TEST_F(StateMachineTest, StayingFailingAndSilentHandlersMoveNothing) {
  a->replies = {{1, {"A", "ignored"}}, {2, {"B", "", false}}, {3, {}}, {4, {"B"}}};
  b->replies = {{5, {}}};
  BuildAndFreeze();
  // A handler that names nothing is not taken to name what an earlier action named.
  Run({{1, true, {"A.handle(1)"}, {}},
       {2, false, {"A.handle(2)"}, {kFailedEvent}},
       {3, false, {"A.handle(3)"}, {HandlerNamedNothing("A")}},
       {4, true, {"A.handle(4)", "A.exit(4, B)", "B.enter(4)"}, {Transition("A --> B")}},
       {5, false, {"B.handle(5)"}, {HandlerNamedNothing("B")}}});
  EXPECT_THROW(machine.ProcessEvent(-1), std::runtime_error);
  Run({{kProbe, true, {"B.handle(-1)", "B.handle(99)"}, {}}});  // a throwing state stays current
}

TEST_F(StateMachineTest, UnknownNamesLeaveNoCurrentStateUntilResetAndEntryActionsMayStopTheChain) {
  a->replies = {{1, {"Nowhere", "lost"}}, {2, {"B"}}, {3, {"C"}}};
  b->entryNext = "";
  c->entryNext = "Elsewhere";
  BuildAndFreeze();
  Run({{1, false, {"A.handle(1)"}, {UnknownState("Nowhere")}}, {2, false, {}, {kNoCurrentState}}});
  EXPECT_FALSE(machine.EntryAction(2));
  EXPECT_FALSE(machine.GotoState(2, "B", ""));
  ExpectMessages({{kError, "EntryAction", "Selected state not found."},
                  {kError, "GotoState", "Selected state not found."}});

  EXPECT_TRUE(machine.ResetToInitialState());
  ExpectMessages({});
  const Message entryNamedNothing{
      kWarn, "EntryAction",
      "Software error? You are not setting the next state's name when entering state "
      "'[B]' with event. The state machine will stay in the original state."};
  Run({{2, false, {"A.handle(2)", "A.exit(2, B)", "B.enter(2)"}, {Transition("A --> B"), entryNamedNothing}},
       {kProbe, true, {"B.handle(99)"}, {}}});

  EXPECT_TRUE(machine.FreezeStates()) << "freezing again returns to the initial state";
  Run({{3,
        false,
        {"A.handle(3)", "A.exit(3, C)", "C.enter(3)"},
        {Transition("A --> C"), UnknownState("Elsewhere")}},
       {3, false, {}, {kNoCurrentState}}});
}

TEST_F(StateMachineTest, AFinalStateHandlesEventsButNeverLeavesAndNamesAreLoggedAsTheyStand) {
  auto end = Make("{}");
  end->replies = {{1, {"A", "try to leave"}}, {2, {"A", "", false}}};
  a->replies = {{1, {"{}", "{0} {:x}"}}};
  ASSERT_TRUE(machine.AddTheInitialState(a));
  ASSERT_TRUE(machine.DoAddState(end, Melvo::Final));
  ASSERT_TRUE(machine.FreezeStates());
  Run({{1, true, {"A.handle(1)", "A.exit(1, {})", "{}.enter(1)"}, {Transition("A --> {} ({0} {:x})")}},
       {1, true, {"{}.handle(1)"}, {}},
       {2, false, {"{}.handle(2)"}, {kFailedEvent}}});
}

TEST_F(StateMachineTest, AnInitialStateThatChangesItsNameCannotBeReached) {
  a->nameSource = [calls = 0]() mutable { return "Fickle" + std::to_string(++calls); };
  ASSERT_TRUE(machine.AddTheInitialState(a));
  EXPECT_FALSE(machine.FreezeStates());
  EXPECT_FALSE(machine.ProcessEvent(0));
  ExpectMessages({{kError, "ResetToInitialState", "No initial state available."}, kNoCurrentState});
}

TEST_F(StateMachineTest, AnInitialStateThatFailsToBeNamedIsNotAdded) {
  ASSERT_TRUE(machine.DoAddState(b, Melvo::Normal));
  a->nameSource = [namings = 1]() mutable {
    if (namings-- == 0) throw std::runtime_error("name lost");
    return std::string("A");
  };
  EXPECT_THROW(machine.AddTheInitialState(a), std::runtime_error);
  EXPECT_EQ(a->Storage(), nullptr);
  EXPECT_EQ(a.use_count(), 1) << "the machine keeps no reference";

  EXPECT_FALSE(machine.FreezeStates());
  EXPECT_TRUE(machine.AddTheInitialState(Make("A")));
  EXPECT_FALSE(machine.DoAddState(Make("B"), Melvo::Normal));
  ExpectMessages({{kWarn, "FreezeStates", "State machine needs an initial state."},
                  {kWarn, "DoAddState", "Failed to add state. There is already a state named: B"}});
}

// A policy that builds and freezes the machine as it is made.
struct ReadyMadeInitializer {
  template <typename Machine>
  static void Initialize(Machine& machine) {
    static Journal journal;
    machine.AddTheInitialState(std::make_shared<ScriptedState>("A", journal));
    machine.FreezeStates();
  }
};

TEST_F(StateMachineTest, TheInitialisationPolicyRunsInTheConstructor) {
  StateMachine<ScriptedState, ReadyMadeInitializer> readyMade(kLoggerName);
  EXPECT_TRUE(readyMade.ProcessEvent(kProbe));
  ExpectMessages({});
}

}  // namespace
